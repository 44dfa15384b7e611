#pragma once

#include "BrowserSocket.h"
#include "CommandLine.h"
#include "HttpListener.h"
#include "HttpRequest.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class QTimer;

namespace kova::web {

// As the chat server does with a client that stops reading.
constexpr qint64 MaxBrowserBacklog = 1024 * 1024;
// How long /healthz waits for the chat server to accept a connection.
constexpr std::chrono::seconds HealthTimeout{2};

// These bound the connections' number, idle time and unread answers; the request size is bounded by
// MaxRequestHead, and what a WebSocket buffers by BrowserSocket.
struct HttpLimits {
    // Open connections at most, WebSockets included; the oldest plain one is closed when another comes.
    int connections = 64;
    // A plain connection is closed when no complete request has come for this long.
    std::chrono::milliseconds idle = std::chrono::seconds(20);
    // A connection, WebSocket or not, is cut when it sends more while this much of what it was sent waits unread.
    qint64 backlog = MaxBrowserBacklog;
};

// The HTTP side of the gateway: the page and its files from the program's resources, /healthz, and the WebSocket
// upgrade at /chat, refused to pages of another origin. It reads each request's head itself, within
// MaxRequestHead, and answers everything in its own words: a request it does not serve is answered with a status,
// reported by connectionRefused(), and the connection is closed unless only the path or the method was wrong.
class PageServer : public QObject {
    Q_OBJECT

public:
    static inline const QByteArray ChatPath = QByteArrayLiteral("/chat");
    static inline const QByteArray HealthPath = QByteArrayLiteral("/healthz");

    explicit PageServer(HttpLimits limits = {}, QObject* parent = nullptr);
    ~PageServer() override;

    // Opens the listener; on failure, says why in *error.
    bool startListening(const QHostAddress& address, quint16 port, QString* error);
    // Closes the listener; connections already open stay.
    void stopListening();
    quint16 serverPort() const { return m_listener.serverPort(); }
    // Serves HTTPS and WSS from now on, with these credentials for the connections that come next.
    void setTlsConfiguration(const QSslConfiguration& configuration) { m_listener.setTlsConfiguration(configuration); }
    // Marks the page so that it asks for the room key before the nickname.
    void requireRoomKey();
    // The chat server that /healthz tries; without one, /healthz is not served.
    void setChatServer(const ServerAddress& server) { m_chatServer = server; }
    // Connections open now that have not become WebSockets.
    int plainConnections() const;
    // The next browser whose upgrade was accepted, or none.
    std::unique_ptr<BrowserSocket> nextPendingWebSocketConnection();

Q_SIGNALS:
    void newWebSocketConnection();
    // A request answered with an error status (the reason ends with it), or a connection beyond the limit.
    void connectionRefused(const QHostAddress& address, quint16 port, const QString& reason);
    // A connection closed because it does not read what it is sent.
    void connectionCut(const QHostAddress& address, quint16 port, const QString& reason);

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        QTimer* idle = nullptr; // none once it is a WebSocket
        bool closing = false;   // answered for the last time
        bool waiting = false;   // a /healthz answer is on its way; later requests wait for it
    };
    struct Answer {
        int status = 200;
        QByteArray contentType = "text/plain; charset=utf-8";
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers; // besides those of every answer
        bool close = false;
    };

    void onNewConnection();
    bool admit(QTcpSocket* socket);
    Connection* find(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    void onReadyRead(QTcpSocket* socket);
    bool cutIfBehind(QTcpSocket* socket, bool webSocket);
    // Answers one request; false once nothing more is to be read from the connection as HTTP.
    bool serve(QTcpSocket* socket, const HttpRequest& request);
    bool upgrade(QTcpSocket* socket, const HttpRequest& request);
    void checkHealth(QTcpSocket* socket, const HttpRequest& request);
    void refuse(QTcpSocket* socket, const HttpRequest* request, int status, const QString& reason, Answer answer);
    void send(QTcpSocket* socket, const HttpRequest* request, const Answer& answer);

    struct File {
        QByteArray contentType;
        QByteArray content;
    };

    HttpLimits m_limits;
    HttpListener m_listener;
    std::optional<ServerAddress> m_chatServer;
    QHash<QByteArray, File> m_files;
    std::vector<Connection> m_connections; // oldest first
    std::deque<std::unique_ptr<BrowserSocket>> m_pending;
};

} // namespace kova::web
