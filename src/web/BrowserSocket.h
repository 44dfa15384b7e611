#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpSocket>

namespace kova::web {

// Close codes of the WebSocket protocol that the gateway uses.
namespace CloseCodes {
constexpr quint16 Normal = 1000;
constexpr quint16 GoingAway = 1001;
constexpr quint16 ProtocolError = 1002;
constexpr quint16 UnsupportedData = 1003;
constexpr quint16 Abnormal = 1006; // never sent: the connection ended without a close frame
constexpr quint16 InvalidText = 1007;
constexpr quint16 PolicyViolated = 1008;
constexpr quint16 TooBig = 1009;
} // namespace CloseCodes

// The largest message a browser may send; a chat line is far shorter.
constexpr qint64 MaxBrowserMessage = 64 * 1024;

// The server's side of a browser's WebSocket, once the page server has answered the upgrade: text messages,
// pings and the closing handshake. A browser that breaks the framing rules (an unmasked frame, a message over
// MaxBrowserMessage, invalid UTF-8, a malformed close) is told why and closed; it buffers one frame at most.
class BrowserSocket : public QObject {
    Q_OBJECT

public:
    // Takes over the socket; what it has buffered already is the browser's first frames.
    explicit BrowserSocket(QTcpSocket* socket, QObject* parent = nullptr);

    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }
    QHostAddress localAddress() const { return m_socket->localAddress(); }
    quint16 localPort() const { return m_socket->localPort(); }
    QAbstractSocket::SocketState state() const { return m_socket->state(); }
    qint64 bytesToWrite() const { return m_socket->bytesToWrite(); }
    // The subprotocol that the upgrade accepted; empty for none.
    QByteArray protocol() const { return m_protocol; }
    void setProtocol(const QByteArray& protocol) { m_protocol = protocol; }

    // A text message, already in UTF-8 (as JSON leaves QJsonDocument), so that it is not converted twice.
    void sendTextMessage(const QByteArray& utf8);
    void ping();
    // Sends our close frame; the connection ends once the browser answers with its own (or is aborted).
    void close(quint16 code, const QString& reason);
    void abort() { m_socket->abort(); }

    // Whether the browser sent a close frame, and its code (1005 for none) and reason.
    bool closeReceived() const { return m_closeReceived; }
    quint16 closeCode() const { return m_closeCode; }
    QString closeReason() const { return m_closeReason; }

Q_SIGNALS:
    void textMessageReceived(const QString& text);
    void binaryMessageReceived();
    void pong();
    // The browser broke a framing rule; the socket closes with the code unless the receiver has closed it already.
    void protocolBroken(quint16 code, const QString& reason);
    void disconnected();

private:
    void onReadyRead();
    // Handles one frame at the start of m_input, if it is complete: its length, 0 while incomplete, -1 once the
    // browser broke a rule.
    qsizetype takeFrame();
    bool handleControl(quint8 opcode, const QByteArray& payload);
    void broken(quint16 code, const QString& reason);
    void writeFrame(quint8 opcode, const QByteArray& payload);

    QTcpSocket* m_socket;
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QByteArray m_protocol;
    QByteArray m_input;
    QByteArray m_message; // a fragmented message so far
    bool m_inMessage = false;
    bool m_messageIsText = false;
    bool m_broken = false;
    bool m_closeSent = false;
    bool m_closeReceived = false;
    quint16 m_closeCode = 1005;
    QString m_closeReason;
};

} // namespace kova::web
