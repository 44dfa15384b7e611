#include "PageServer.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <unistd.h>

static void initPageResources()
{
    Q_INIT_RESOURCE(page);
}

namespace kova::web {

namespace {

using Status = QHttpServerResponder::StatusCode;

bool isWebSocketUpgrade(const QHttpServerRequest& request)
{
    return request.value(QByteArrayLiteral("upgrade")).compare(QByteArrayLiteral("websocket"), Qt::CaseInsensitive) ==
           0;
}

// The Host header as the browser sent it, when it is a plain host and port (it goes into a header of ours).
QByteArray plainHost(const QHttpServerRequest& request)
{
    const QByteArray host = request.value(QByteArrayLiteral("host"));
    const bool plain = !host.isEmpty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == ':' ||
               c == '[' || c == ']' || c == '-' || c == '_';
    });
    return plain ? host : QByteArray();
}

// Any page may open a WebSocket to any server: only the origin that the browser names tells whether the page
// is ours, served directly or by a reverse proxy for HTTPS under the same name. Programs other than browsers
// send no origin; they could connect to the chat server directly anyway.
QString refusedOrigin(const QHttpServerRequest& request)
{
    const QByteArray origin = request.value(QByteArrayLiteral("origin"));
    if (origin.isEmpty())
        return {};
    const QByteArray host = plainHost(request);
    if (!host.isEmpty() && (origin.compare("http://" + host, Qt::CaseInsensitive) == 0 ||
                            origin.compare("https://" + host, Qt::CaseInsensitive) == 0))
        return {};
    return QStringLiteral("origin %1 is not a page of %2")
        .arg(QString::fromLatin1(origin.left(200)),
             host.isEmpty() ? QStringLiteral("this gateway (no valid Host)") : QString::fromLatin1(host));
}

QByteArray securityPolicy(const QHttpServerRequest& request)
{
    QByteArray connect = "'self'";
    // Browsers of the last policy level count the page's own ws: and wss: as 'self'; older ones need them named,
    // which the policy's grammar allows only for host names without "_".
    if (const QByteArray host = plainHost(request); !host.isEmpty() && !host.contains('_'))
        connect += " ws://" + host + " wss://" + host;
    return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src " + connect +
           "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

// Shows each accepted connection to the page server before Qt's HTTP server takes it.
class Listener : public QTcpServer {
public:
    Listener(std::function<bool(QTcpSocket*)> admit, QObject* parent)
        : QTcpServer(parent)
        , m_admit(std::move(admit))
    {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            delete socket;
            return;
        }
        if (m_admit(socket))
            addPendingConnection(socket);
        else
            socket->deleteLater();
    }

private:
    std::function<bool(QTcpSocket*)> m_admit;
};

} // namespace

PageServer::PageServer(HttpLimits limits, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_limits(limits)
{
    initPageResources();
    const struct {
        QString path;
        QString resource;
        QByteArray contentType;
    } files[] = {
        {QStringLiteral("/"), QStringLiteral(":/web/index.html"), "text/html; charset=utf-8"},
        {QStringLiteral("/kova.css"), QStringLiteral(":/web/kova.css"), "text/css; charset=utf-8"},
        {QStringLiteral("/kova.js"), QStringLiteral(":/web/kova.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("/stream.js"), QStringLiteral(":/web/stream.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("/log.js"), QStringLiteral(":/web/log.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("/favicon.ico"), QStringLiteral(":/web/favicon.ico"), "image/x-icon"},
        {QStringLiteral("/icon.png"), QStringLiteral(":/web/icon.png"), "image/png"},
        {QStringLiteral("/icon-unread.png"), QStringLiteral(":/web/icon-unread.png"), "image/png"},
        {QStringLiteral("/icon-mention.png"), QStringLiteral(":/web/icon-mention.png"), "image/png"},
    };
    for (const auto& file : files) {
        QFile resource(file.resource);
        if (resource.open(QIODevice::ReadOnly))
            m_files.insert(file.path, File{file.contentType, resource.readAll()});
    }
    // Qt's only warning here is for an upgrade that we refused, which the gateway reports in its own words.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
}

bool PageServer::startListening(const QHostAddress& address, quint16 port, QString* error)
{
    auto* listener = new Listener([this](QTcpSocket* socket) { return admit(socket); }, this);
    if (!listener->listen(address, port)) {
        *error = listener->errorString();
        delete listener;
        return false;
    }
    bind(listener);
    return true;
}

void PageServer::stopListening()
{
    for (QTcpServer* listener : servers())
        listener->close();
}

int PageServer::plainConnections() const
{
    return int(std::count_if(m_connections.begin(), m_connections.end(), [](const Connection& connection) {
        return connection.socket && connection.idle != nullptr;
    }));
}

bool PageServer::admit(QTcpSocket* socket)
{
    forget(nullptr); // the ones deleted since
    if (int(m_connections.size()) >= m_limits.connections) {
        const auto oldest = std::find_if(m_connections.begin(), m_connections.end(),
                                         [](const Connection& connection) { return connection.idle != nullptr; });
        if (oldest == m_connections.end()) {
            Q_EMIT connectionRefused(socket->peerAddress(), socket->peerPort(),
                                     QStringLiteral("%1 connections are open already").arg(m_limits.connections));
            socket->abort();
            return false;
        }
        QTcpSocket* closed = oldest->socket;
        forget(closed);
        closed->abort();
    }
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setInterval(m_limits.idle);
    connect(idle, &QTimer::timeout, socket, &QTcpSocket::abort);
    idle->start();
    m_connections.push_back({socket, idle});
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { forget(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
    watchBacklog(socket, false);
    return true;
}

void PageServer::forget(QTcpSocket* socket)
{
    // Sockets deleted since are dropped on the way.
    std::erase_if(m_connections,
                  [socket](const Connection& connection) { return !connection.socket || connection.socket == socket; });
}

void PageServer::watchBacklog(QTcpSocket* socket, bool webSocket)
{
    // Queued, so that it looks once what arrived has been answered: pages, or Qt's pongs to a WebSocket's pings.
    connect(
        socket, &QTcpSocket::readyRead, this,
        [this, socket = QPointer(socket), webSocket] {
            if (!socket || socket->bytesToWrite() <= m_limits.backlog)
                return;
            Q_EMIT connectionCut(
                socket->peerAddress(), socket->peerPort(),
                QStringLiteral("it sent more while %1 bytes it was sent waited unread").arg(socket->bytesToWrite()));
            if (!socket)
                return;
            socket->abort();
            // Qt's server may have pipelined requests queued for a plain one, which would read the closed socket;
            // a WebSocket's belongs to its QWebSocket.
            if (!webSocket)
                delete socket;
        },
        Qt::QueuedConnection);
}

void PageServer::requestArrived(QTcpSocket* socket, bool becameWebSocket)
{
    const auto connection = std::find_if(m_connections.begin(), m_connections.end(),
                                         [socket](const Connection& c) { return c.socket == socket; });
    if (connection == m_connections.end() || !connection->idle)
        return;
    if (becameWebSocket) {
        // The gateway's session watches it from now on. Qt's server is about to drop the socket's signal
        // connections, so the backlog watch is made again afterwards.
        delete connection->idle;
        connection->idle = nullptr;
        QMetaObject::invokeMethod(
            socket, [this, socket] { watchBacklog(socket, true); }, Qt::QueuedConnection);
    } else {
        connection->idle->start();
    }
}

bool PageServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QString path = request.url().path();
    if (isWebSocketUpgrade(request)) {
        if (path != ChatPath)
            return false;
        if (const QString refusal = refusedOrigin(request); !refusal.isEmpty()) {
            Q_EMIT connectionRefused(socket->peerAddress(), socket->peerPort(), refusal);
            return false;
        }
        requestArrived(socket, true);
        return true;
    }
    requestArrived(socket, false);
    const auto file = m_files.constFind(path);
    if (file == m_files.cend())
        return false;
    if (request.method() != QHttpServerRequest::Method::Get) {
        respond(request, socket, "text/plain; charset=utf-8", "Only GET is served here.\n", Status::MethodNotAllowed);
        return true;
    }
    respond(request, socket, file->contentType, file->content, Status::Ok);
    return true;
}

void PageServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    requestArrived(socket, false);
    if (isWebSocketUpgrade(request) && request.url().path() == ChatPath)
        respond(request, socket, "text/plain; charset=utf-8", "WebSocket connections from other pages are refused.\n",
                Status::Forbidden);
    else
        respond(request, socket, "text/plain; charset=utf-8", "Not found.\n", Status::NotFound);
}

void PageServer::respond(const QHttpServerRequest& request, QTcpSocket* socket, const QByteArray& contentType,
                         const QByteArray& body, QHttpServerResponder::StatusCode status)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.write(body,
                    {{"Content-Type", contentType},
                     {"Content-Security-Policy", securityPolicy(request)},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Referrer-Policy", "no-referrer"},
                     {"Cache-Control", "no-cache"}},
                    status);
}

} // namespace kova::web
