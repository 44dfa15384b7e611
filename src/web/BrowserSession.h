#pragma once

#include "BrowserSocket.h"
#include "CommandLine.h"
#include "io/Cp932.h"

#include <QJsonObject>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <memory>

namespace kova::web {

// Close codes that tell the page why the gateway ended its connection (the page words them for the reader).
enum CloseCode : quint16 {
    CloseServerClosed = 4000,      // the chat server ended the connection
    CloseServerUnreachable = 4001, // the chat server could not be reached
    CloseRoomFull = 4002,          // the chat server turned the connection away, or nine browsers are here
    CloseWrongRoomKey = 4003,      // the gateway has a room key, and the browser offered another or none
    CloseRoomKeyLockedOut = 4004,  // too many wrong keys from the browser's address: refused for a while
};

// How long a browser has to answer our close before its connection is cut.
constexpr std::chrono::seconds CloseTimeout{5};
// What a browser sent may wait this much for the chat server, which reads each client at 64 KiB a second: a
// person never comes near it, a script that sends faster is cut off rather than held in memory.
constexpr qint64 MaxServerBacklog = 1024 * 1024;
// How long what a leaving browser sent last may take to reach the chat server: the whole backlog at its pace.
constexpr std::chrono::seconds DrainTimeout{20};

// One browser: its WebSocket on one side, one TCP client of the chat server on the other. The page sends
// {"type":"send","text":...}, which goes to the server in code page 932 as one write; the gateway sends
// {"type":"connected"} once the server has accepted, and {"type":"received","text":...} for each read.
// The session deletes itself once both connections are closed.
class BrowserSession : public QObject {
    Q_OBJECT

public:
    BrowserSession(std::unique_ptr<BrowserSocket> browser, const ServerAddress& server, QObject* parent = nullptr);
    ~BrowserSession() override;

    // The browser's address and port, as the log shows them.
    QString peer() const { return m_peer; }
    // Closes the browser's connection with a reason, and the server's once what the browser sent has gone out.
    void end(quint16 code, const QString& reason);
    // Cuts off a browser that does not read what it is sent.
    void fellBehind();

Q_SIGNALS:
    // The browser's connection is closed; emitted once. The connection to the server may still be delivering
    // the browser's last lines, for DrainTimeout at most.
    void ended(const QString& reason);
    // What the browser sent last could not be delivered to the server within DrainTimeout and is dropped.
    void undelivered(qint64 bytes);
    // Text that the server sent, as it is passed on to the browser.
    void received(const QString& text);

private:
    enum class Unsent { Deliver, Discard };

    void endWith(quint16 code, const QString& reason, Unsent unsent);
    void onServerConnected();
    void onServerReadyRead();
    void onServerDisconnected();
    void onServerError(QAbstractSocket::SocketError error);
    void onBrowserMessage(const QString& message);
    void onBrowserDisconnected();
    void onPingTimer();
    void sendToBrowser(const QJsonObject& message);
    void closeServer(Unsent unsent);
    void onServerClosed();
    void onBrowserClosed();

    std::unique_ptr<BrowserSocket> m_browser;
    QTcpSocket m_server;
    // The end of what the browser sent last, as passed on (as much as a pattern's proper beginning can take): the
    // next message must not complete a pattern after it.
    QString m_lastPassedOn;
    cp932::Decoder m_decoder;
    QString m_peer;
    QString m_serverName;
    QString m_reason;
    QTimer m_connectTimer;
    QTimer m_pingTimer;
    QTimer m_closeTimer;
    QTimer m_drainTimer;
    bool m_serverReceived = false;
    bool m_awaitingPong = false;
    bool m_browserClosed = false;
    bool m_serverClosed = false;
};

} // namespace kova::web
