#pragma once

#include "WebGatewayProcess.h"

#include <QDeadlineTimer>
#include <QSslSocket>

namespace kova::test {

// A WebSocket upgrade's headers, but for its version.
inline const QByteArray Upgrade =
    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// A WebSocket handshake made by hand to the gateway, with the Host and Origin that a browser would send (none when
// empty) and any more header lines: the status line of the answer; *rest has what came after the answer's head.
inline QByteArray rawHandshake(QTcpSocket& socket, const QByteArray& host, const QByteArray& origin,
                               QByteArray* rest = nullptr, const QByteArray& more = {})
{
    socket.connectToHost(QHostAddress::LocalHost, WebGatewayProcess::Port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET /chat HTTP/1.1\r\nHost: " + host + "\r\n" +
                 (origin.isEmpty() ? QByteArray() : "Origin: " + origin + "\r\n") + Upgrade +
                 "Sec-WebSocket-Version: 13\r\n" + more + "\r\n");
    QByteArray data;
    while (!data.contains("\r\n\r\n") && socket.waitForReadyRead(5000))
        data += socket.readAll();
    if (rest)
        *rest = data.mid(data.indexOf("\r\n\r\n") + 4);
    return data.left(data.indexOf("\r\n"));
}

// A request made by hand, in clear or over TLS (taking any certificate), and what the gateway answered: until it
// closed the connection, or until it had said something and then kept quiet for a while.
struct RawExchange {
    QByteArray answer;
    bool closed = false;

    QByteArray status() const { return answer.left(answer.indexOf("\r\n")); }
    QByteArray head() const { return answer.left(answer.indexOf("\r\n\r\n") + 2); }
    QByteArray body() const { return answer.mid(answer.indexOf("\r\n\r\n") + 4); }
};

inline RawExchange exchange(const QByteArray& request, bool tls = false)
{
    RawExchange result;
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (tls)
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), WebGatewayProcess::Port);
    else
        socket.connectToHost(QHostAddress::LocalHost, WebGatewayProcess::Port);
    if (!(tls ? socket.waitForEncrypted(5000) : socket.waitForConnected(5000)))
        return result;
    socket.write(request);
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (socket.waitForReadyRead(300)) {
            result.answer += socket.readAll();
            continue;
        }
        result.answer += socket.readAll();
        result.closed = socket.state() == QAbstractSocket::UnconnectedState;
        if (result.closed || !result.answer.isEmpty())
            break;
    }
    return result;
}

} // namespace kova::test
