#pragma once

#include "BrowserSession.h"
#include "CertificateFiles.h"
#include "CommandLine.h"
#include "GuessingReport.h"
#include "History.h"
#include "PageServer.h"
#include "RoomKey.h"

#include <QObject>
#include <QSet>
#include <QTimer>

namespace kova::web {

// The gateway: the page server, and a session for each browser, at most as many as the chat room has seats.
class WebGateway : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxBrowsers = 9;
    // Refusals logged one by one in a second; the rest are counted in one line.
    static constexpr int MaxRefusalsLogged = 20;

    // historyLines: the chat lines kept for browsers that join later, 0 for none.
    explicit WebGateway(const ServerAddress& server, int historyLines = DefaultHistoryLines, QObject* parent = nullptr);

    // Serves HTTPS and WSS with the certificate and key in these files, and takes them again when they are renewed;
    // false when they cannot be used, with what is wrong in *error. Before listen().
    bool useTls(const QString& certificateFile, const QString& keyFile, QString* error);
    // Lets in only browsers that offer this key (see RoomKey), and tells the page to ask for it.
    void requireRoomKey(const QString& key);
    // Opens the listener; on failure, says why in *error.
    bool listen(const ListenAddress& address, QString* error);
    // Takes no more browsers and closes every browser's connection as going away, with the reason; closed() follows
    // once every connection has ended (CloseTimeout for the browsers, DrainTimeout for the server, at most).
    void shutDown(const QString& reason);
    bool isShuttingDown() const { return m_shuttingDown; }

Q_SIGNALS:
    void closed();

private:
    void onNewWebSocketConnection();
    // Whether the browser may come in; if not, it is refused.
    bool admitKey(std::unique_ptr<BrowserSocket>& browser);
    void refuse(std::unique_ptr<BrowserSocket> browser, quint16 code, const QString& reason);
    // Closes it with the code and reason, unlogged.
    void turnAway(std::unique_ptr<BrowserSocket> browser, quint16 code, const QString& reason);
    void logRefused(const QHostAddress& address, quint16 port, const QString& reason);
    // Logs a line about refused browsers, within MaxRefusalsLogged a second.
    void logRefusal(const QString& line);
    void onConnectionCut(const QHostAddress& address, quint16 port, const QString& reason);
    void onSessionEnded(BrowserSession* session, const QString& reason);
    void onSessionDestroyed(QObject* session);

    ServerAddress m_server;
    PageServer m_http;
    std::unique_ptr<CertificateFiles> m_certificates;
    std::unique_ptr<RoomKey> m_roomKey;
    std::unique_ptr<GuessingReport> m_guessing;
    History m_history;
    // Sessions whose browser is connected: the seats taken.
    QSet<BrowserSession*> m_sessions;
    // Sessions not yet deleted, some still delivering a leaving browser's last lines to the server.
    QSet<QObject*> m_alive;
    QTimer m_refusalSecond;
    int m_refusalsLogged = 0;
    int m_refusalsUnlogged = 0;
    QString m_shutDownReason;
    bool m_shuttingDown = false;
};

// One line of the gateway's log on standard output, written out at once (the journal reads it from a pipe).
void logLine(const QString& line);

} // namespace kova::web
