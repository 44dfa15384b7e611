#include "BrowserSocket.h"

#include <QStringDecoder>
#include <QtEndian>

namespace kova::web {

namespace {

enum Opcode : quint8 {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// A control frame holds 125 bytes at most.
constexpr qsizetype MaxControlPayload = 125;

bool isSendableCloseCode(quint16 code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) || (code >= 3000 && code <= 4999);
}

// The text, or a null string when it is not UTF-8.
QString strictUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    return text.isNull() ? QStringLiteral("") : text;
}

} // namespace

BrowserSocket::BrowserSocket(QTcpSocket* socket, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
    , m_peerAddress(socket->peerAddress())
    , m_peerPort(socket->peerPort())
{
    m_socket->setParent(this);
    // A chat line is one small frame: sent at once, not held back until the browser acknowledges the last.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // What waits in the socket is at most one frame's worth; the kernel holds the rest until it is taken.
    m_socket->setReadBufferSize(MaxBrowserMessage + 14);
    connect(m_socket, &QTcpSocket::readyRead, this, &BrowserSocket::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &BrowserSocket::disconnected);
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &BrowserSocket::onReadyRead, Qt::QueuedConnection);
}

void BrowserSocket::sendTextMessage(const QByteArray& utf8)
{
    if (!m_closeSent)
        writeFrame(Text, utf8);
}

void BrowserSocket::ping()
{
    if (!m_closeSent)
        writeFrame(Ping, {});
}

void BrowserSocket::close(quint16 code, const QString& reason)
{
    if (m_closeSent || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_closeSent = true;
    QByteArray payload(2, Qt::Uninitialized);
    qToBigEndian(code, payload.data());
    // Cut at a character's start, to the room that a control frame leaves.
    QByteArray text = reason.toUtf8();
    qsizetype size = std::min<qsizetype>(text.size(), MaxControlPayload - 2);
    while (size > 0 && size < text.size() && (quint8(text.at(size)) & 0xC0) == 0x80)
        --size;
    payload += text.left(size);
    writeFrame(Close, payload);
    // After a broken rule nothing more that the browser sends is read as frames.
    if (m_closeReceived || m_broken)
        m_socket->disconnectFromHost();
}

void BrowserSocket::onReadyRead()
{
    if (m_broken || m_closeReceived) {
        // Read and dropped, so that closing does not reset the connection over unread data.
        m_socket->readAll();
        return;
    }
    m_input += m_socket->readAll();
    while (!m_input.isEmpty() && !m_broken) {
        const qsizetype length = takeFrame();
        if (length <= 0)
            break;
        m_input.remove(0, length);
    }
    if (m_broken)
        m_input.clear();
}

qsizetype BrowserSocket::takeFrame()
{
    if (m_input.size() < 2)
        return 0;
    const auto first = quint8(m_input.at(0));
    const auto second = quint8(m_input.at(1));
    const bool final = first & 0x80;
    const quint8 opcode = first & 0x0F;
    const bool control = opcode & 0x8;
    if (first & 0x70) {
        broken(CloseCodes::ProtocolError, QStringLiteral("a frame with reserved bits set"));
        return -1;
    }
    if (!(second & 0x80)) {
        broken(CloseCodes::ProtocolError, QStringLiteral("an unmasked frame"));
        return -1;
    }
    if (opcode != Continuation && opcode != Text && opcode != Binary && opcode != Close && opcode != Ping &&
        opcode != Pong) {
        broken(CloseCodes::ProtocolError, QStringLiteral("a frame of unknown type %1").arg(opcode));
        return -1;
    }
    const quint8 shortLength = second & 0x7F;
    if (control && (!final || shortLength > MaxControlPayload)) {
        broken(CloseCodes::ProtocolError, QStringLiteral("a fragmented or long control frame"));
        return -1;
    }
    if (opcode == Continuation && !m_inMessage) {
        broken(CloseCodes::ProtocolError, QStringLiteral("a continuation frame without a message"));
        return -1;
    }
    if ((opcode == Text || opcode == Binary) && m_inMessage) {
        broken(CloseCodes::ProtocolError, QStringLiteral("a new message inside a fragmented one"));
        return -1;
    }
    const qsizetype extended = shortLength == 126 ? 2 : shortLength == 127 ? 8 : 0;
    const qsizetype head = 2 + extended + 4;
    if (m_input.size() < head)
        return 0;
    quint64 length = shortLength;
    if (extended == 2)
        length = qFromBigEndian<quint16>(m_input.constData() + 2);
    else if (extended == 8)
        length = qFromBigEndian<quint64>(m_input.constData() + 2);
    const quint64 before = opcode == Continuation ? quint64(m_message.size()) : 0;
    if (!control && length > quint64(MaxBrowserMessage) - before) {
        broken(CloseCodes::TooBig, QStringLiteral("a message over %1 KiB").arg(MaxBrowserMessage / 1024));
        return -1;
    }
    if (quint64(m_input.size() - head) < length)
        return 0;
    QByteArray payload = m_input.mid(head, qsizetype(length));
    const char* mask = m_input.constData() + head - 4;
    for (qsizetype i = 0; i < payload.size(); ++i)
        payload[i] = char(payload[i] ^ mask[i % 4]);
    if (control)
        return handleControl(opcode, payload) ? head + qsizetype(length) : -1;

    if (opcode != Continuation) {
        m_inMessage = true;
        m_messageIsText = opcode == Text;
        m_message.clear();
    }
    m_message += payload;
    if (!final)
        return head + qsizetype(length);
    m_inMessage = false;
    const QByteArray message = std::exchange(m_message, {});
    // What comes after our close frame is not taken any more.
    if (m_closeSent)
        return head + qsizetype(length);
    if (!m_messageIsText) {
        Q_EMIT binaryMessageReceived();
        return head + qsizetype(length);
    }
    const QString text = strictUtf8(message);
    if (text.isNull()) {
        broken(CloseCodes::InvalidText, QStringLiteral("a text message that is not UTF-8"));
        return -1;
    }
    Q_EMIT textMessageReceived(text);
    return head + qsizetype(length);
}

bool BrowserSocket::handleControl(quint8 opcode, const QByteArray& payload)
{
    if (opcode == Ping) {
        if (!m_closeSent)
            writeFrame(Pong, payload);
        return true;
    }
    if (opcode == Pong) {
        Q_EMIT pong();
        return true;
    }
    quint16 code = 1005;
    QString reason;
    if (payload.size() == 1) {
        broken(CloseCodes::ProtocolError, QStringLiteral("a close frame of one byte"));
        return false;
    }
    if (payload.size() >= 2) {
        code = qFromBigEndian<quint16>(payload.constData());
        if (!isSendableCloseCode(code)) {
            broken(CloseCodes::ProtocolError, QStringLiteral("a close frame with code %1").arg(code));
            return false;
        }
        reason = strictUtf8(payload.mid(2));
        if (reason.isNull()) {
            broken(CloseCodes::InvalidText, QStringLiteral("a close reason that is not UTF-8"));
            return false;
        }
    }
    m_closeReceived = true;
    m_closeCode = code;
    m_closeReason = reason;
    if (!m_closeSent) {
        m_closeSent = true;
        writeFrame(Close, payload.left(2));
    }
    m_socket->disconnectFromHost();
    // Nothing after a close frame counts.
    m_input.clear();
    return false;
}

void BrowserSocket::broken(quint16 code, const QString& reason)
{
    m_broken = true;
    Q_EMIT protocolBroken(code, reason);
    close(code, reason);
}

void BrowserSocket::writeFrame(quint8 opcode, const QByteArray& payload)
{
    QByteArray frame;
    frame.reserve(payload.size() + 10);
    frame.append(char(0x80 | opcode));
    if (payload.size() <= 125) {
        frame.append(char(payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        frame.append(char(126));
        frame.append(char(payload.size() >> 8));
        frame.append(char(payload.size() & 0xFF));
    } else {
        frame.append(char(127));
        char length[8];
        qToBigEndian(quint64(payload.size()), length);
        frame.append(length, 8);
    }
    frame.append(payload);
    m_socket->write(frame);
    // Out now rather than on the event loop's next turn; what the kernel does not take waits for it as before.
    m_socket->flush();
}

} // namespace kova::web
