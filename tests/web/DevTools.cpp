#include "DevTools.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <unistd.h>

namespace kova::test {

DevTools::DevTools()
{
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket, [this](const QString& text) {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (message.contains(QStringLiteral("id")))
            m_replies.insert(message.value(QStringLiteral("id")).toInt(), message);
        else
            m_events.append(message);
    });
    // Large screenshots and scripts.
    m_socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
}

bool DevTools::open(const QUrl& url)
{
    m_socket.open(url);
    const QDeadlineTimer deadline(10000);
    while (m_socket.state() != QAbstractSocket::ConnectedState && !deadline.hasExpired())
        QTest::qWait(10);
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

QJsonObject DevTools::call(const QString& method, const QJsonObject& params, int timeoutMs)
{
    return send(method, params, m_session, timeoutMs);
}

QJsonObject DevTools::callBrowser(const QString& method, const QJsonObject& params)
{
    return send(method, params, {}, 10000);
}

QJsonObject DevTools::send(const QString& method, const QJsonObject& params, const QString& session, int timeoutMs)
{
    lastError.clear();
    const int id = ++m_nextId;
    QJsonObject command{
        {QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (!session.isEmpty())
        command.insert(QStringLiteral("sessionId"), session);
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact)));
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_replies.contains(id)) {
        if (deadline.hasExpired() || m_socket.state() != QAbstractSocket::ConnectedState) {
            lastError = QStringLiteral("%1: no reply").arg(method);
            return {};
        }
        QTest::qWait(5);
    }
    const QJsonObject reply = m_replies.take(id);
    if (reply.contains(QStringLiteral("error"))) {
        lastError = method + QStringLiteral(": ") +
                    QString::fromUtf8(QJsonDocument(reply.value(QStringLiteral("error")).toObject()).toJson());
        return {};
    }
    return reply.value(QStringLiteral("result")).toObject();
}

bool DevTools::attachNewPage()
{
    m_target =
        callBrowser(QStringLiteral("Target.createTarget"), {{QStringLiteral("url"), QStringLiteral("about:blank")}})
            .value(QStringLiteral("targetId"))
            .toString();
    if (m_target.isEmpty())
        return false;
    m_session = callBrowser(QStringLiteral("Target.attachToTarget"),
                            {{QStringLiteral("targetId"), m_target}, {QStringLiteral("flatten"), true}})
                    .value(QStringLiteral("sessionId"))
                    .toString();
    return !m_session.isEmpty();
}

QJsonValue DevTools::evaluate(const QString& expression)
{
    const QJsonObject result = call(QStringLiteral("Runtime.evaluate"), {{QStringLiteral("expression"), expression},
                                                                         {QStringLiteral("returnByValue"), true},
                                                                         {QStringLiteral("awaitPromise"), true}});
    if (result.contains(QStringLiteral("exceptionDetails"))) {
        lastError =
            QString::fromUtf8(QJsonDocument(result.value(QStringLiteral("exceptionDetails")).toObject()).toJson());
        return QJsonValue::Undefined;
    }
    return result.value(QStringLiteral("result")).toObject().value(QStringLiteral("value"));
}

bool DevTools::waitUntil(const QString& expression, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (evaluate(expression).toBool())
            return true;
        QTest::qWait(50);
    }
    return false;
}

bool DevTools::sawEvent(const QString& method) const
{
    return std::any_of(m_events.begin(), m_events.end(), [&](const QJsonObject& event) {
        return event.value(QStringLiteral("method")).toString() == method;
    });
}

QList<QJsonObject> DevTools::events(const QString& method) const
{
    QList<QJsonObject> found;
    for (const QJsonObject& event : m_events) {
        if (event.value(QStringLiteral("method")).toString() == method)
            found.append(event.value(QStringLiteral("params")).toObject());
    }
    return found;
}

QJsonObject DevTools::runChecks(const QString& fileName)
{
    QFile checks(qEnvironmentVariable("KOVA_WEB_TESTS") + u'/' + fileName);
    if (!checks.open(QIODevice::ReadOnly)) {
        lastError = checks.fileName() + QStringLiteral(": ") + checks.errorString();
        return {};
    }
    return evaluate(QString::fromUtf8(checks.readAll())).toObject();
}

bool HeadlessChromium::start(QString* error, const QStringList& more)
{
    QStringList arguments{QStringLiteral("--headless"),
                          QStringLiteral("--disable-gpu"),
                          QStringLiteral("--no-first-run"),
                          QStringLiteral("--disable-background-networking"),
                          QStringLiteral("--disable-component-update"),
                          QStringLiteral("--disable-sync"),
                          QStringLiteral("--user-data-dir=") + m_profile.path(),
                          QStringLiteral("--remote-debugging-port=0"),
                          QStringLiteral("--window-size=1000,700"),
                          QStringLiteral("about:blank")};
    // Names that are not this machine's, so that only TLS makes a page of them a secure context; they still lead to
    // loopback.
    arguments.insert(arguments.size() - 1, QStringLiteral("--host-resolver-rules=MAP *.test 127.0.0.1"));
    for (const QString& argument : more)
        arguments.insert(arguments.size() - 1, argument);
    // Chromium refuses to run as root inside its own sandbox.
    if (::geteuid() == 0)
        arguments.prepend(QStringLiteral("--no-sandbox"));
    const QString log = m_profile.filePath(QStringLiteral("chromium.log"));
    m_process.setStandardOutputFile(log);
    m_process.setStandardErrorFile(log, QIODevice::Append);
    m_process.start(QStringLiteral("chromium"), arguments);
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("chromium does not start: ") + m_process.errorString();
        return false;
    }
    // Once its DevTools listen, it names their port and path in the profile.
    QFile portFile(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (portFile.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = portFile.readAll().split('\n');
            portFile.close();
            if (lines.size() >= 2 && !lines.at(1).isEmpty()) {
                m_url = QUrl(QStringLiteral("ws://127.0.0.1:%1%2")
                                 .arg(QString::fromLatin1(lines.at(0)), QString::fromLatin1(lines.at(1))));
                return true;
            }
        }
        QTest::qWait(50);
    }
    QFile output(log);
    *error = QStringLiteral("chromium's DevTools did not come up: ") +
             (output.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(output.readAll()) : QString());
    return false;
}

void HeadlessChromium::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

} // namespace kova::test
