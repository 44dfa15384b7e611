// Plays a browser against one BrowserSession over loopback, with a stand-in chat server: the input is the
// browser's text messages, separated by NUL bytes, then a close. What reaches the chat server must be the sends
// that keep the page's rules, in order, each as the server reads it in code page 932, and nothing after the first
// message the gateway refuses; no pattern may form across the ends of messages; the session must end.
#include "FuzzCheck.h"
#include "RunUntil.h"
#include "io/Cp932.h"
#include "web/BrowserSession.h"
#include "web/ChatRules.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QStringDecoder>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

using namespace kova::web;
using kova::fuzz::check;
using kova::fuzz::runUntil;

namespace {

constexpr qsizetype MaxMessages = 16;
QByteArray frame(quint8 opcode, const QByteArray& payload)
{
    QByteArray bytes(1, char(0x80 | opcode));
    // Masked with a zero key, which leaves the payload as it is.
    if (payload.size() < 126) {
        bytes += char(0x80 | payload.size());
    } else {
        bytes += char(0x80 | 126);
        bytes += char(payload.size() >> 8);
        bytes += char(payload.size() & 0xff);
    }
    return bytes + QByteArray(4, '\0') + payload;
}

// The text the gateway passes on for a message, or none if it must refuse the message and end the session.
std::optional<QString> acceptedText(const QByteArray& message)
{
    QStringDecoder utf8(QStringConverter::Utf8);
    const QString json = utf8.decode(message);
    if (utf8.hasError())
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject() || document.object().value(u"type").toString() != u"send")
        return std::nullopt;
    const QJsonValue text = document.object().value(u"text");
    if (!text.isString())
        return std::nullopt;
    const QString line = kova::cp932::decode(kova::cp932::encode(text.toString()));
    if (!sendRefusal(line).isEmpty())
        return std::nullopt;
    return text.toString();
}

bool matches(QByteArrayView stream, const QList<QString>& texts, qsizetype index, QList<QString>* delivered);

// Whether the stream is texts[index], after lead, and then the rest of the texts.
bool matchesFrom(QByteArrayView stream, const QList<QString>& texts, qsizetype index, QList<QString>* delivered,
                 const QString& lead)
{
    const QByteArray bytes = kova::cp932::encode(texts[index]);
    if (!stream.startsWith(bytes))
        return false;
    delivered->append(lead + kova::cp932::decode(bytes));
    if (matches(stream.sliced(bytes.size()), texts, index + 1, delivered))
        return true;
    if (stream.size() > bytes.size() && stream[bytes.size()] == ' ') {
        delivered->last() += u' ';
        if (matches(stream.sliced(bytes.size() + 1), texts, index + 1, delivered))
            return true;
    }
    delivered->removeLast();
    return false;
}

// Whether the stream is the texts in order, each encoded, each with at most one space before and one after; fills in
// what was delivered of each.
bool matches(QByteArrayView stream, const QList<QString>& texts, qsizetype index, QList<QString>* delivered)
{
    if (index == texts.size())
        return stream.isEmpty();
    return matchesFrom(stream, texts, index, delivered, QString()) ||
           (stream.startsWith(" ") && matchesFrom(stream.sliced(1), texts, index, delivered, QStringLiteral(" ")));
}

void checkPatterns(const QList<QString>& delivered)
{
    QString stream;
    QList<qsizetype> registrations;
    for (const QString& text : delivered) {
        if (text.startsWith(u"NAME:") || text.startsWith(u" NAME:"))
            registrations.append(stream.size() + (text.startsWith(u' ') ? 1 : 0));
        stream += text;
    }
    check(!stream.contains(u"RNAME:"), "no leave notice made up by a browser");
    for (qsizetype at = stream.indexOf(u"NAME:"); at >= 0; at = stream.indexOf(u"NAME:", at + 1))
        check(registrations.contains(at), "no registration made up across messages");
}

struct Loopback {
    QTcpServer chatServer;
    QTcpServer gateway;
    ServerAddress chatAddress;

    Loopback()
    {
        check(chatServer.listen(QHostAddress::LocalHost), "a stand-in chat server");
        check(gateway.listen(QHostAddress::LocalHost), "a gateway listener");
        chatAddress.host = QStringLiteral("127.0.0.1");
        chatAddress.port = chatServer.serverPort();
    }
};

Loopback* loopback = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    static Loopback instance;
    loopback = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QList<QByteArray> messages = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0');
    if (messages.size() > MaxMessages)
        return -1;
    for (const QByteArray& message : std::as_const(messages)) {
        if (message.size() > 0xffff)
            return -1;
    }

    QTcpSocket browser;
    browser.connectToHost(QHostAddress::LocalHost, loopback->gateway.serverPort());
    runUntil([&] { return loopback->gateway.hasPendingConnections(); }, "the gateway accepts");
    QPointer<BrowserSession> session = new BrowserSession(
        std::make_unique<BrowserSocket>(loopback->gateway.nextPendingConnection()), loopback->chatAddress);
    runUntil([&] { return loopback->chatServer.hasPendingConnections(); }, "the session connects");
    std::unique_ptr<QTcpSocket> server(loopback->chatServer.nextPendingConnection());
    QByteArray received;
    QObject::connect(server.get(), &QTcpSocket::readyRead, [&] { received += server->readAll(); });
    // Wait for {"type":"connected"}, as the page does before it lets anyone type.
    runUntil([&] { return browser.bytesAvailable() > 0; }, "the browser is told it is connected");

    QByteArray frames;
    for (const QByteArray& message : std::as_const(messages))
        frames += frame(0x1, message);
    frames += frame(0x8, QByteArray("\x03\xe8", 2));
    browser.write(frames);
    QObject::connect(&browser, &QTcpSocket::readyRead, [&] { browser.readAll(); });
    runUntil([&] { return !session && server->state() != QAbstractSocket::ConnectedState; }, "the session ends");
    received += server->readAll();

    const QByteArray proxy = "PROXY TCP4 ";
    check(received.startsWith(proxy) && received.contains("\r\n"), "the browser's address comes first");
    const QByteArrayView stream = QByteArrayView(received).sliced(received.indexOf("\r\n") + 2);

    QList<QString> accepted;
    for (const QByteArray& message : std::as_const(messages)) {
        const std::optional<QString> text = acceptedText(message);
        if (!text)
            break;
        accepted.append(*text);
    }
    QList<QString> delivered;
    check(matches(stream, accepted, 0, &delivered), "the accepted sends, in order, in code page 932, and no more");
    checkPatterns(delivered);
    return 0;
}
