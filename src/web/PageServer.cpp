#include "PageServer.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QLoggingCategory>
#include <QTcpSocket>

#include <algorithm>

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
               c == '[' || c == ']' || c == '-';
    });
    return plain ? host : QByteArray();
}

// Any page may open a WebSocket to any server: only the origin that the browser names tells whether the page
// is ours. Programs other than browsers send no origin; they could connect to the chat server directly anyway.
QString refusedOrigin(const QHttpServerRequest& request)
{
    const QByteArray origin = request.value(QByteArrayLiteral("origin"));
    if (origin.isEmpty())
        return {};
    const QByteArray own = "http://" + plainHost(request);
    if (origin.compare(own, Qt::CaseInsensitive) == 0)
        return {};
    return QStringLiteral("origin %1 is not this gateway's %2")
        .arg(QString::fromLatin1(origin.left(200)), QString::fromLatin1(own));
}

QByteArray securityPolicy(const QHttpServerRequest& request)
{
    QByteArray connect = "'self'";
    if (const QByteArray host = plainHost(request); !host.isEmpty())
        connect += " ws://" + host;
    return "default-src 'none'; script-src 'self'; style-src 'self'; connect-src " + connect +
           "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

} // namespace

PageServer::PageServer(QObject* parent)
    : QAbstractHttpServer(parent)
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
    };
    for (const auto& file : files) {
        QFile resource(file.resource);
        if (resource.open(QIODevice::ReadOnly))
            m_files.insert(file.path, File{file.contentType, resource.readAll()});
    }
    // Qt's only warning here is for an upgrade that we refused, which the gateway reports in its own words.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
}

bool PageServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QString path = request.url().path();
    if (isWebSocketUpgrade(request)) {
        if (path != ChatPath)
            return false;
        if (const QString refusal = refusedOrigin(request); !refusal.isEmpty()) {
            Q_EMIT upgradeRefused(socket->peerAddress(), socket->peerPort(), refusal);
            return false;
        }
        return true;
    }
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
