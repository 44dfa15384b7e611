#include "WebGateway.h"

#include <QTcpServer>
#include <QTimer>

#include <cstdio>

namespace kova::web {

void logLine(const QString& line)
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

WebGateway::WebGateway(const ServerAddress& server, QObject* parent)
    : QObject(parent)
    , m_server(server)
{
    connect(&m_http, &QAbstractHttpServer::newWebSocketConnection, this, &WebGateway::onNewWebSocketConnection);
    connect(&m_http, &PageServer::upgradeRefused, this,
            [](const QHostAddress& address, quint16 port, const QString& reason) {
                logLine(QStringLiteral("browser %1 refused: %2").arg(endpointText(address, port), reason));
            });
}

bool WebGateway::listen(const ListenAddress& address, QString* error)
{
    auto* server = new QTcpServer(&m_http);
    if (!server->listen(address.address, address.port)) {
        *error = server->errorString();
        delete server;
        return false;
    }
    m_http.bind(server);
    return true;
}

void WebGateway::onNewWebSocketConnection()
{
    while (auto browser = m_http.nextPendingWebSocketConnection()) {
        if (m_sessions.size() >= MaxBrowsers) {
            refuse(std::move(browser), QStringLiteral("%1 browsers are connected already").arg(MaxBrowsers));
            continue;
        }
        auto* session = new BrowserSession(std::move(browser), m_server, this);
        m_sessions.insert(session);
        logLine(QStringLiteral("browser %1 connected").arg(session->peer()));
        connect(session, &BrowserSession::ended, this,
                [this, session](const QString& reason) { onSessionEnded(session, reason); });
    }
}

void WebGateway::refuse(std::unique_ptr<QWebSocket> browser, const QString& reason)
{
    logLine(QStringLiteral("browser %1 refused: %2")
                .arg(endpointText(browser->peerAddress(), browser->peerPort()), reason));
    QWebSocket* socket = browser.release();
    socket->setParent(this);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(CloseTimeout, socket, &QWebSocket::abort);
    socket->close(QWebSocketProtocol::CloseCode(CloseRoomFull), reason);
}

void WebGateway::onSessionEnded(BrowserSession* session, const QString& reason)
{
    m_sessions.remove(session);
    logLine(QStringLiteral("browser %1 disconnected: %2").arg(session->peer(), reason));
    session->deleteLater();
}

} // namespace kova::web
