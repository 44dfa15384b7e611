#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslConfiguration>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

namespace kova::test {

// A browser as the gateway on 127.0.0.1:8557 sees it: a WebSocket from a page's origin speaking the page's
// messages. A page of an https: origin comes over TLS and takes any certificate, as a browser told to trust it does;
// a subprotocol, when given, is offered in the handshake.
class ChatBrowser {
public:
    explicit ChatBrowser(const QString& origin = QStringLiteral("http://127.0.0.1:8557"),
                         const QByteArray& subprotocol = {})
        : socket(origin)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [this](const QString& message) {
            const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
            const QString type = object.value(QStringLiteral("type")).toString();
            if (type == QStringLiteral("connected"))
                connected = true;
            else if (type == QStringLiteral("received"))
                received += object.value(QStringLiteral("text")).toString();
            else if (type != QStringLiteral("history")) // the lines said before it came
                unexpected += message;
        });
        QObject::connect(&socket, &QWebSocket::disconnected, &socket, [this] { closed = true; });
        const bool tls = origin.startsWith(QStringLiteral("https:"));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.setSslConfiguration(configuration);
        QWebSocketHandshakeOptions options;
        if (!subprotocol.isEmpty())
            options.setSubprotocols({QString::fromLatin1(subprotocol)});
        socket.open(
            QUrl(tls ? QStringLiteral("wss://127.0.0.1:8557/chat") : QStringLiteral("ws://127.0.0.1:8557/chat")),
            options);
    }

    bool open()
    {
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState || closed; }) &&
               !closed;
    }
    // Open, and the gateway's connection to the chat server is up; then the nickname is sent.
    bool join(const QString& name)
    {
        if (!open() || !QTest::qWaitFor([this] { return connected || closed; }) || closed)
            return false;
        send(QStringLiteral("NAME:") + name);
        return true;
    }
    void send(const QString& text)
    {
        sendJson({{QStringLiteral("type"), QStringLiteral("send")}, {QStringLiteral("text"), text}});
    }
    void sendJson(const QJsonObject& object)
    {
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        // The tests wait on the chat server's side without an event loop.
        socket.flush();
    }
    bool waitReceived(const QString& text, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return received.contains(text); }, timeoutMs);
    }
    bool waitClosed()
    {
        return QTest::qWaitFor([this] { return closed; }, 10000);
    }
    // Waits until it is closed: the close code and the reason, as "1000 reason".
    QString closedWith()
    {
        return waitClosed() ? QString::number(socket.closeCode()) + u' ' + socket.closeReason()
                            : QStringLiteral("still open");
    }

    QWebSocket socket;
    QString received;
    QStringList unexpected;
    bool connected = false;
    bool closed = false;
};

} // namespace kova::test
