#pragma once

#include "BrowserSession.h"
#include "CommandLine.h"
#include "PageServer.h"

#include <QObject>
#include <QSet>

namespace kova::web {

// The gateway: the page server, and a session for each browser, at most as many as the chat room has seats.
class WebGateway : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxBrowsers = 9;

    explicit WebGateway(const ServerAddress& server, QObject* parent = nullptr);

    // Opens the listener; on failure, says why in *error.
    bool listen(const ListenAddress& address, QString* error);

private:
    void onNewWebSocketConnection();
    void refuse(std::unique_ptr<QWebSocket> browser, const QString& reason);
    void onSessionEnded(BrowserSession* session, const QString& reason);

    ServerAddress m_server;
    PageServer m_http;
    QSet<BrowserSession*> m_sessions;
};

// One line of the gateway's log on standard output, written out at once (the journal reads it from a pipe).
void logLine(const QString& line);

} // namespace kova::web
