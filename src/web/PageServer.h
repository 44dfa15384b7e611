#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QHttpServerResponder>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <chrono>
#include <vector>

class QTimer;

namespace kova::web {

// As the chat server does with a client that stops reading.
constexpr qint64 MaxBrowserBacklog = 1024 * 1024;

// Qt's HTTP server keeps every connection for as long as the other side likes, and holds whatever it answers
// until the other side reads it; these bound the connections' number, idle time and unread answers.
struct HttpLimits {
    // Open connections at most, WebSockets included; the oldest plain one is closed when another comes.
    int connections = 64;
    // A plain connection is closed when no complete request has come for this long.
    std::chrono::milliseconds idle = std::chrono::seconds(20);
    // A connection, WebSocket or not, is cut when it sends more while this much of what it was sent waits unread.
    qint64 backlog = MaxBrowserBacklog;
};

// The HTTP side of the gateway: the page and its files from the program's resources, and the WebSocket
// upgrade at /chat, refused to pages of another origin.
class PageServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    static inline const QString ChatPath = QStringLiteral("/chat");

    explicit PageServer(HttpLimits limits = {}, QObject* parent = nullptr);

    // Opens the listener; on failure, says why in *error.
    bool startListening(const QHostAddress& address, quint16 port, QString* error);
    // Closes the listener; connections already open stay.
    void stopListening();
    // Connections open now that have not become WebSockets.
    int plainConnections() const;

Q_SIGNALS:
    // A WebSocket from another origin, or a connection beyond the limit.
    void connectionRefused(const QHostAddress& address, quint16 port, const QString& reason);
    // A connection closed because it does not read what it is sent.
    void connectionCut(const QHostAddress& address, quint16 port, const QString& reason);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Connection {
        // Qt's server drops every signal connection of a socket that becomes a WebSocket, ours included, so the
        // end of one is seen only as the socket's deletion.
        QPointer<QTcpSocket> socket;
        QTimer* idle = nullptr; // none once it is a WebSocket
    };

    bool admit(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    void watchBacklog(QTcpSocket* socket, bool webSocket);
    void requestArrived(QTcpSocket* socket, bool becameWebSocket);
    void respond(const QHttpServerRequest& request, QTcpSocket* socket, const QByteArray& contentType,
                 const QByteArray& body, QHttpServerResponder::StatusCode status);

    struct File {
        QByteArray contentType;
        QByteArray content;
    };

    HttpLimits m_limits;
    QHash<QString, File> m_files;
    std::vector<Connection> m_connections; // oldest first
};

} // namespace kova::web
