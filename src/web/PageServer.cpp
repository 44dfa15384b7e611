#include "PageServer.h"
#include "RoomKey.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslSocket>
#include <QTimer>

#include <algorithm>

static void initPageResources()
{
    Q_INIT_RESOURCE(page);
}

namespace kova::web {

namespace {

QByteArray statusText(int status)
{
    switch (status) {
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 426:
        return "Upgrade Required";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

// The Host header as the browser sent it, when it is a plain host and port (it goes into a header of ours).
QByteArray plainHost(const HttpRequest* request)
{
    const QByteArray host = request ? request->value("host") : QByteArray();
    const bool plain = !host.isEmpty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == ':' ||
               c == '[' || c == ']' || c == '-' || c == '_';
    });
    return plain ? host : QByteArray();
}

// Any page may open a WebSocket to any server: only the origin that the browser names tells whether the page
// is ours, served directly or by a reverse proxy for HTTPS under the same name. Programs other than browsers
// send no origin; they could connect to the chat server directly anyway.
QString refusedOrigin(const HttpRequest& request)
{
    const QByteArray origin = request.value("origin");
    if (origin.isEmpty())
        return {};
    const QByteArray host = plainHost(&request);
    if (!host.isEmpty() && (origin.compare("http://" + host, Qt::CaseInsensitive) == 0 ||
                            origin.compare("https://" + host, Qt::CaseInsensitive) == 0))
        return {};
    return QStringLiteral("origin %1 is not a page of %2")
        .arg(QString::fromLatin1(origin.left(200)),
             host.isEmpty() ? QStringLiteral("this gateway (no valid Host)") : QString::fromLatin1(host));
}

QByteArray securityPolicy(const HttpRequest* request, bool tls)
{
    QByteArray connect = "'self'";
    // Browsers of the last policy level count the page's own ws: or wss: as 'self'; older ones need it named,
    // which the policy's grammar allows only for host names without "_". A page over TLS may use wss: only.
    if (const QByteArray host = plainHost(request); !host.isEmpty() && !host.contains('_'))
        connect += (tls ? " wss://" : " ws://") + host;
    // The manifest and the service worker that make the page installable come from the gateway too.
    return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; manifest-src 'self'; "
           "worker-src 'self'; connect-src " +
           connect + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

// The key of a WebSocket upgrade: 16 bytes in base64.
bool isWebSocketKey(const QByteArray& key)
{
    const auto decoded = QByteArray::fromBase64Encoding(key, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == 16;
}

// The subprotocol that offers a room key, among those the page listed; empty when none does.
QByteArray keyProtocol(const HttpRequest& request)
{
    for (const auto& [name, value] : request.headers) {
        if (name != "sec-websocket-protocol")
            continue;
        for (const QByteArray& protocol : value.split(',')) {
            if (RoomKey::carriesKey(protocol.trimmed()))
                return protocol.trimmed();
        }
    }
    return {};
}

QByteArray acceptKey(const QByteArray& key)
{
    return QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
}

} // namespace

PageServer::PageServer(HttpLimits limits, QObject* parent)
    : QObject(parent)
    , m_limits(limits)
{
    initPageResources();
    const struct {
        QByteArray path;
        QString resource;
        QByteArray contentType;
    } files[] = {
        {"/", QStringLiteral(":/web/index.html"), "text/html; charset=utf-8"},
        {"/kova.css", QStringLiteral(":/web/kova.css"), "text/css; charset=utf-8"},
        {"/kova.js", QStringLiteral(":/web/kova.js"), "text/javascript; charset=utf-8"},
        {"/stream.js", QStringLiteral(":/web/stream.js"), "text/javascript; charset=utf-8"},
        {"/log.js", QStringLiteral(":/web/log.js"), "text/javascript; charset=utf-8"},
        {"/notify.js", QStringLiteral(":/web/notify.js"), "text/javascript; charset=utf-8"},
        {"/service-worker.js", QStringLiteral(":/web/service-worker.js"), "text/javascript; charset=utf-8"},
        {"/manifest.webmanifest", QStringLiteral(":/web/manifest.webmanifest"), "application/manifest+json"},
        {"/favicon.ico", QStringLiteral(":/web/favicon.ico"), "image/x-icon"},
        {"/icon.png", QStringLiteral(":/web/icon.png"), "image/png"},
        {"/icon-unread.png", QStringLiteral(":/web/icon-unread.png"), "image/png"},
        {"/icon-mention.png", QStringLiteral(":/web/icon-mention.png"), "image/png"},
        {"/heart-192.png", QStringLiteral(":/web/heart-192.png"), "image/png"},
        {"/heart-512.png", QStringLiteral(":/web/heart-512.png"), "image/png"},
    };
    for (const auto& file : files) {
        QFile resource(file.resource);
        if (resource.open(QIODevice::ReadOnly))
            m_files.insert(file.path, File{file.contentType, resource.readAll()});
    }
    connect(&m_listener, &QTcpServer::newConnection, this, &PageServer::onNewConnection);
}

PageServer::~PageServer() = default;

void PageServer::requireRoomKey()
{
    File& page = m_files["/"];
    page.content.replace(R"(<meta name="kova-room-key" content="none">)",
                         R"(<meta name="kova-room-key" content="required">)");
}

bool PageServer::startListening(const QHostAddress& address, quint16 port, QString* error)
{
    if (m_listener.listen(address, port))
        return true;
    *error = m_listener.errorString();
    return false;
}

void PageServer::stopListening()
{
    m_listener.close();
}

int PageServer::plainConnections() const
{
    return int(std::count_if(m_connections.begin(), m_connections.end(), [](const Connection& connection) {
        return connection.socket && connection.idle != nullptr;
    }));
}

std::unique_ptr<BrowserSocket> PageServer::nextPendingWebSocketConnection()
{
    if (m_pending.empty())
        return {};
    auto next = std::move(m_pending.front());
    m_pending.pop_front();
    return next;
}

void PageServer::onNewConnection()
{
    while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
        socket->setParent(this);
        if (!admit(socket))
            socket->deleteLater();
    }
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
        closed->deleteLater();
    }
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        // Plain HTTP to the HTTPS port, and anything else that is not a TLS handshake, ends here; a handshake that
        // never ends, with the idle time.
        connect(tls, &QSslSocket::errorOccurred, this, [this, tls](QAbstractSocket::SocketError error) {
            if (tls->isEncrypted() || error == QAbstractSocket::RemoteHostClosedError)
                return;
            Q_EMIT connectionRefused(tls->peerAddress(), tls->peerPort(),
                                     QStringLiteral("no TLS handshake: %1").arg(tls->errorString()));
            tls->abort();
            tls->deleteLater();
        });
    }
    // Whatever the other side sends, no more than one request's head waits here; the kernel holds the rest.
    socket->setReadBufferSize(MaxRequestHead);
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setInterval(m_limits.idle);
    connect(idle, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    idle->start();
    m_connections.push_back({socket, idle});
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        forget(socket);
        socket->deleteLater();
    });
    connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
    return true;
}

PageServer::Connection* PageServer::find(QTcpSocket* socket)
{
    const auto connection = std::find_if(m_connections.begin(), m_connections.end(),
                                         [socket](const Connection& c) { return c.socket == socket; });
    return connection == m_connections.end() ? nullptr : &*connection;
}

void PageServer::forget(QTcpSocket* socket)
{
    // Sockets deleted since are dropped on the way.
    std::erase_if(m_connections,
                  [socket](const Connection& connection) { return !connection.socket || connection.socket == socket; });
}

bool PageServer::cutIfBehind(QTcpSocket* socket, bool webSocket)
{
    if (socket->bytesToWrite() <= m_limits.backlog)
        return false;
    Q_EMIT connectionCut(
        socket->peerAddress(), socket->peerPort(),
        QStringLiteral("it sent more while %1 bytes it was sent waited unread").arg(socket->bytesToWrite()));
    // A WebSocket's session has aborted it by now; its socket belongs to the session.
    socket->abort();
    if (!webSocket)
        socket->deleteLater();
    return true;
}

void PageServer::onReadyRead(QTcpSocket* socket)
{
    for (;;) {
        Connection* connection = find(socket);
        if (!connection || !connection->idle || connection->closing || connection->waiting)
            return;
        if (cutIfBehind(socket, false))
            return;
        const QByteArray data = socket->peek(socket->bytesAvailable());
        if (data.isEmpty())
            return;
        const HeadParse parse = parseRequestHead(data);
        if (parse.result == HeadParse::Result::Incomplete)
            return;
        if (parse.result == HeadParse::Result::Refused) {
            Answer answer;
            answer.close = true;
            refuse(socket, nullptr, parse.status, parse.reason, answer);
            return;
        }
        socket->skip(parse.length);
        connection->idle->start();
        if (!serve(socket, parse.request))
            return;
    }
}

bool PageServer::serve(QTcpSocket* socket, const HttpRequest& request)
{
    if (request.lists("upgrade", "websocket"))
        return upgrade(socket, request);
    const QByteArray path = request.path();
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        Answer answer;
        answer.body = "Only GET and HEAD are served here.\n";
        answer.headers = {{"Allow", "GET, HEAD"}};
        answer.close = !request.keepsOpen();
        refuse(socket, &request, 405, QStringLiteral("method %1").arg(QString::fromLatin1(request.method.left(40))),
               answer);
        return !answer.close;
    }
    if (path == HealthPath && m_chatServer) {
        checkHealth(socket, request);
        return false;
    }
    const auto file = m_files.constFind(path);
    if (file == m_files.cend()) {
        Answer answer;
        answer.body = "Not found.\n";
        answer.close = !request.keepsOpen();
        refuse(socket, &request, 404, QStringLiteral("no page %1").arg(QString::fromLatin1(path.left(200))), answer);
        return !answer.close;
    }
    Answer answer;
    answer.contentType = file->contentType;
    answer.body = file->content;
    answer.close = !request.keepsOpen();
    send(socket, &request, answer);
    return !answer.close;
}

bool PageServer::upgrade(QTcpSocket* socket, const HttpRequest& request)
{
    Answer refusal;
    refusal.close = true;
    if (request.path() != ChatPath) {
        refusal.body = "Not found.\n";
        refuse(socket, &request, 404,
               QStringLiteral("no WebSocket at %1").arg(QString::fromLatin1(request.path().left(200))), refusal);
        return false;
    }
    if (request.method != "GET" || request.minorVersion != 1 || !request.lists("connection", "upgrade") ||
        !isWebSocketKey(request.value("sec-websocket-key"))) {
        refusal.body = "Not a WebSocket upgrade.\n";
        refuse(socket, &request, 400, QStringLiteral("a malformed WebSocket upgrade"), refusal);
        return false;
    }
    if (request.value("sec-websocket-version") != "13") {
        refusal.body = "Only WebSocket version 13 is spoken here.\n";
        refusal.headers = {{"Sec-WebSocket-Version", "13"}};
        refuse(socket, &request, 426,
               QStringLiteral("WebSocket version %1")
                   .arg(QString::fromLatin1(request.value("sec-websocket-version").left(40))),
               refusal);
        return false;
    }
    if (const QString origin = refusedOrigin(request); !origin.isEmpty()) {
        refusal.body = "WebSocket connections from other pages are refused.\n";
        refuse(socket, &request, 403, origin, refusal);
        return false;
    }
    Answer switching;
    switching.status = 101;
    switching.contentType.clear();
    switching.headers = {{"Upgrade", "websocket"},
                         {"Connection", "Upgrade"},
                         {"Sec-WebSocket-Accept", acceptKey(request.value("sec-websocket-key"))}};
    // The gateway's only subprotocol; the browser fails a connection that does not take the one it offered, so
    // that a wrong key would be told as a lost connection rather than refused in words.
    const QByteArray protocol = keyProtocol(request);
    if (!protocol.isEmpty())
        switching.headers.append({"Sec-WebSocket-Protocol", protocol});
    send(socket, &request, switching);

    // The session watches it from now on: no idle limit, and the frames are the WebSocket's to read.
    Connection* connection = find(socket);
    delete connection->idle;
    connection->idle = nullptr;
    socket->disconnect(this);
    connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
    m_pending.push_back(std::make_unique<BrowserSocket>(socket));
    // Connected after the WebSocket's own reader, so that it looks once what arrived has been read and answered
    // (pongs to the browser's pings), in the same turn of the event loop.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket = QPointer(socket)] {
        if (socket)
            cutIfBehind(socket, true);
    });
    m_pending.back()->setProtocol(protocol);
    Q_EMIT newWebSocketConnection();
    return false;
}

void PageServer::checkHealth(QTcpSocket* socket, const HttpRequest& request)
{
    Connection* connection = find(socket);
    connection->waiting = true;
    // A child of the browser's socket, so that it ends with it.
    auto* probe = new QTcpSocket(socket);
    auto answered = std::make_shared<bool>(false);
    auto answer = [this, socket, probe, request, answered](bool reachable) {
        if (std::exchange(*answered, true))
            return;
        probe->disconnect(this);
        probe->disconnectFromHost();
        probe->deleteLater();
        Answer health;
        health.status = reachable ? 200 : 503;
        health.contentType = "application/json";
        health.body = reachable ? R"({"server":"reachable"})"
                                  "\n"
                                : R"({"server":"unreachable"})"
                                  "\n";
        health.close = !request.keepsOpen();
        send(socket, &request, health);
        if (Connection* connection = find(socket)) {
            connection->waiting = false;
            connection->closing = health.close;
            if (!health.close)
                QMetaObject::invokeMethod(
                    this, [this, socket] { onReadyRead(socket); }, Qt::QueuedConnection);
        }
    };
    // Connecting is all: the chat server takes a connection that closes without a word as no participant.
    connect(probe, &QTcpSocket::connected, this, [answer] { answer(true); });
    connect(probe, &QTcpSocket::errorOccurred, this, [answer] { answer(false); });
    QTimer::singleShot(HealthTimeout, probe, [answer] { answer(false); });
    probe->connectToHost(m_chatServer->host, m_chatServer->port);
}

void PageServer::refuse(QTcpSocket* socket, const HttpRequest* request, int status, const QString& reason,
                        Answer answer)
{
    Q_EMIT connectionRefused(socket->peerAddress(), socket->peerPort(),
                             QStringLiteral("%1 (%2)").arg(reason).arg(status));
    answer.status = status;
    send(socket, request, answer);
}

void PageServer::send(QTcpSocket* socket, const HttpRequest* request, const Answer& answer)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + statusText(answer.status) + "\r\n";
    QList<std::pair<QByteArray, QByteArray>> headers;
    if (answer.status != 101) {
        headers = {{"Content-Type", answer.contentType}, {"Content-Length", QByteArray::number(answer.body.size())}};
    }
    headers += answer.headers;
    headers += {{"Content-Security-Policy", securityPolicy(request, m_listener.usesTls())},
                {"X-Content-Type-Options", "nosniff"},
                {"Referrer-Policy", "no-referrer"},
                {"Cache-Control", "no-cache"}};
    if (m_listener.usesTls())
        headers += {{"Strict-Transport-Security", "max-age=31536000"}};
    if (answer.close)
        headers.append(std::pair<QByteArray, QByteArray>("Connection", "close"));
    for (const auto& [name, value] : std::as_const(headers))
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    const bool withBody = !(request && request->method == "HEAD");
    socket->write(withBody ? head + answer.body : head);
    if (!answer.close)
        return;
    if (Connection* connection = find(socket))
        connection->closing = true;
    socket->disconnectFromHost();
}

} // namespace kova::web
