#pragma once

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>

namespace kova::test {

// A client of a browser's DevTools protocol over its WebSocket: commands with ids, their replies, and events.
class DevTools {
public:
    DevTools();

    bool open(const QUrl& url);
    // Sends a command (to the attached page, once there is one) and waits for its reply: the result; lastError
    // says what went wrong, and is empty when nothing did.
    QJsonObject call(const QString& method, const QJsonObject& params = {}, int timeoutMs = 10000);
    // Sends a command to the browser itself rather than the page.
    QJsonObject callBrowser(const QString& method, const QJsonObject& params = {});
    // Opens a new page and sends every later command to it.
    bool attachNewPage();
    // The value of a script expression in the page; promises are awaited.
    QJsonValue evaluate(const QString& expression);
    // Evaluates the expression until it is true, at most for the given time.
    bool waitUntil(const QString& expression, int timeoutMs = 10000);
    bool sawEvent(const QString& method) const;
    QList<QJsonObject> events(const QString& method) const;
    // Runs a file of checks from the test directory in the page: { checks or runs, failures, ... }.
    QJsonObject runChecks(const QString& fileName);

    QString lastError;

private:
    QWebSocket m_socket;
    QJsonObject send(const QString& method, const QJsonObject& params, const QString& session, int timeoutMs);

    int m_nextId = 0;
    QString m_session;
    QString m_target;
    QHash<int, QJsonObject> m_replies;
    QList<QJsonObject> m_events;
};

// Debian's chromium, headless, with a fresh profile and its DevTools on a port of its choosing.
class HeadlessChromium {
public:
    // With more arguments for the browser.
    bool start(QString* error, const QStringList& more = {});
    // The DevTools WebSocket of the browser.
    QUrl devToolsUrl() const { return m_url; }
    void stop();
    ~HeadlessChromium() { stop(); }

private:
    QTemporaryDir m_profile;
    QProcess m_process;
    QUrl m_url;
};

} // namespace kova::test
