#include "BrowserSession.h"
#include "ChatRules.h"
#include "PageServer.h"
#include "io/ProxyHeader.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>

using namespace std::chrono_literals;

namespace kova::web {

namespace {

constexpr auto ConnectTimeout = 10s;
// A phone that vanished from the network answers no ping; its seat is given back once a ping goes unanswered.
constexpr auto PingInterval = 30s;

// A chat server beside the gateway trusts its header; one on another machine would refuse it.
bool onThisMachine(const ServerAddress& server)
{
    return server.host == u"localhost" || QHostAddress(server.host).isLoopback();
}

} // namespace

BrowserSession::BrowserSession(std::unique_ptr<BrowserSocket> browser, const ServerAddress& server, QObject* parent)
    : QObject(parent)
    , m_browser(std::move(browser))
    , m_peer(endpointText(m_browser->peerAddress(), m_browser->peerPort()))
    , m_serverName(server.toString())
{
    connect(m_browser.get(), &BrowserSocket::textMessageReceived, this, &BrowserSession::onBrowserMessage);
    connect(m_browser.get(), &BrowserSocket::binaryMessageReceived, this,
            [this] { end(CloseCodes::UnsupportedData, QStringLiteral("binary messages are not accepted")); });
    connect(m_browser.get(), &BrowserSocket::disconnected, this, &BrowserSession::onBrowserDisconnected);
    connect(m_browser.get(), &BrowserSocket::pong, this, [this] { m_awaitingPong = false; });
    connect(m_browser.get(), &BrowserSocket::protocolBroken, this,
            [this](quint16 code, const QString& reason) { end(code, reason); });
    // Writes go out at once, so a write before the session took the browser (the history) can find it gone already;
    // its end is handled once the gateway has connected to the session.
    if (m_browser->state() == QAbstractSocket::UnconnectedState)
        QMetaObject::invokeMethod(this, &BrowserSession::onBrowserDisconnected, Qt::QueuedConnection);

    m_pingTimer.setInterval(PingInterval);
    connect(&m_pingTimer, &QTimer::timeout, this, &BrowserSession::onPingTimer);
    m_pingTimer.start();
    m_closeTimer.setSingleShot(true);
    m_closeTimer.setInterval(CloseTimeout);
    connect(&m_closeTimer, &QTimer::timeout, this, [this] { m_browser->abort(); });
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setInterval(DrainTimeout);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] {
        Q_EMIT undelivered(m_server.bytesToWrite());
        m_server.abort();
    });

    connect(&m_server, &QTcpSocket::connected, this, &BrowserSession::onServerConnected);
    connect(&m_server, &QTcpSocket::readyRead, this, &BrowserSession::onServerReadyRead);
    connect(&m_server, &QTcpSocket::disconnected, this, &BrowserSession::onServerDisconnected);
    connect(&m_server, &QTcpSocket::errorOccurred, this, &BrowserSession::onServerError);
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        end(CloseServerUnreachable, QStringLiteral("the chat server %1 did not answer").arg(m_serverName));
    });
    m_connectTimer.start(ConnectTimeout);
    m_server.connectToHost(server.host, server.port);
    // Before anything else, so that the server judges the browser by its own address; the socket holds it until the
    // connection is made.
    if (onThisMachine(server))
        m_server.write(ProxyHeader::make(m_browser->peerAddress(), m_browser->peerPort(), m_browser->localAddress(),
                                         m_browser->localPort()));
}

BrowserSession::~BrowserSession() = default;

void BrowserSession::end(quint16 code, const QString& reason)
{
    endWith(code, reason, Unsent::Deliver);
}

void BrowserSession::fellBehind()
{
    end(CloseCodes::PolicyViolated, QStringLiteral("the browser fell 1 MiB behind"));
    m_browser->abort();
}

void BrowserSession::endWith(quint16 code, const QString& reason, Unsent unsent)
{
    if (!m_reason.isEmpty())
        return;
    m_reason = reason;
    closeServer(unsent);
    m_closeTimer.start();
    m_browser->close(code, reason);
    if (m_browser->state() == QAbstractSocket::UnconnectedState)
        onBrowserClosed();
}

void BrowserSession::closeServer(Unsent unsent)
{
    m_connectTimer.stop();
    m_pingTimer.stop();
    m_server.disconnect(this);
    // What the server still sends is for nobody now; reading it keeps the server from cutting us off meanwhile.
    connect(&m_server, &QTcpSocket::readyRead, this, [this] { m_server.readAll(); });
    connect(&m_server, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            onServerClosed();
    });
    if (unsent == Unsent::Discard || m_server.state() != QAbstractSocket::ConnectedState) {
        m_server.abort();
    } else if (m_server.bytesToWrite() == 0) {
        m_server.disconnectFromHost();
    } else {
        // The lines typed just before leaving go out first. Qt would stop reading a closing socket, and the server
        // would then hold back what we still send it, so the socket stays open until they are written.
        connect(&m_server, &QTcpSocket::bytesWritten, this, [this] {
            if (m_server.bytesToWrite() == 0)
                m_server.disconnectFromHost();
        });
        m_drainTimer.start();
    }
    if (m_server.state() == QAbstractSocket::UnconnectedState)
        onServerClosed();
}

void BrowserSession::onServerClosed()
{
    if (m_serverClosed)
        return;
    m_serverClosed = true;
    m_drainTimer.stop();
    if (m_browserClosed)
        deleteLater();
}

void BrowserSession::onBrowserClosed()
{
    if (m_browserClosed)
        return;
    m_browserClosed = true;
    m_closeTimer.stop();
    Q_EMIT ended(m_reason);
    if (m_serverClosed)
        deleteLater();
}

void BrowserSession::onServerConnected()
{
    m_connectTimer.stop();
    m_server.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_server.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    sendToBrowser({{QStringLiteral("type"), QStringLiteral("connected")}});
}

void BrowserSession::onServerReadyRead()
{
    if (m_browser->bytesToWrite() > MaxBrowserBacklog) {
        fellBehind();
        return;
    }
    const QByteArray bytes = m_server.readAll();
    if (bytes.isEmpty())
        return;
    m_serverReceived = true;
    // The decoder keeps the first byte of a character split between two reads until the second comes.
    const QString text = m_decoder.decode(bytes);
    if (text.isEmpty())
        return;
    sendToBrowser({{QStringLiteral("type"), QStringLiteral("received")}, {QStringLiteral("text"), text}});
    Q_EMIT received(text);
}

void BrowserSession::onServerDisconnected()
{
    // The server turns away a client beyond its nine by closing the connection before it says anything.
    if (m_serverReceived)
        end(CloseServerClosed, QStringLiteral("the chat server closed the connection"));
    else
        end(CloseRoomFull, QStringLiteral("the chat server turned the connection away"));
}

void BrowserSession::onServerError(QAbstractSocket::SocketError error)
{
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onServerDisconnected();
        return;
    }
    if (m_server.state() == QAbstractSocket::ConnectedState || m_serverReceived)
        end(CloseServerClosed,
            QStringLiteral("the connection to the chat server failed: %1").arg(m_server.errorString()));
    else
        end(CloseServerUnreachable,
            QStringLiteral("cannot reach the chat server %1: %2").arg(m_serverName, m_server.errorString()));
}

void BrowserSession::onBrowserMessage(const QString& message)
{
    if (!m_reason.isEmpty())
        return;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    if (!document.isObject()) {
        end(CloseCodes::PolicyViolated, QStringLiteral("a message that is not a JSON object"));
        return;
    }
    const QJsonObject object = document.object();
    const QString type = object.value(QStringLiteral("type")).toString();
    if (type != u"send") {
        end(CloseCodes::PolicyViolated, QStringLiteral("unknown message type \"%1\"").arg(type.left(40)));
        return;
    }
    const QJsonValue text = object.value(QStringLiteral("text"));
    if (!text.isString()) {
        end(CloseCodes::PolicyViolated, QStringLiteral("a send without text"));
        return;
    }
    QByteArray bytes = cp932::encode(text.toString());
    // The rules hold for the text as the server reads it: characters that code page 932 lacks arrive as "?".
    const QString line = cp932::decode(bytes);
    if (const QString refusal = sendRefusal(line); !refusal.isEmpty()) {
        end(CloseCodes::PolicyViolated, refusal);
        return;
    }
    const QString passedOn = harmlessLine(line);
    if (passedOn != line)
        bytes += ' ';
    if (completesAPattern(m_lastPassedOn, line))
        bytes.prepend(' ');
    // An empty send writes nothing: what went before still meets what comes next.
    if (!passedOn.isEmpty())
        m_lastPassedOn = passedOn.right(5);
    if (m_server.bytesToWrite() + bytes.size() > MaxServerBacklog) {
        endWith(CloseCodes::PolicyViolated, QStringLiteral("sending faster than the chat server reads"),
                Unsent::Discard);
        return;
    }
    m_server.write(bytes);
    // Out now rather than on the event loop's next turn; until the connection is made, the socket holds it.
    if (m_server.state() == QAbstractSocket::ConnectedState)
        m_server.flush();
}

void BrowserSession::onBrowserDisconnected()
{
    if (m_reason.isEmpty()) {
        const int code = m_browser->closeCode();
        if (!m_browser->closeReceived())
            m_reason = QStringLiteral("the browser's connection was lost (%1)").arg(int(CloseCodes::Abnormal));
        else if (m_browser->closeReason().isEmpty())
            m_reason = QStringLiteral("the browser closed the connection (%1)").arg(code);
        else
            m_reason = QStringLiteral("%1 (%2)").arg(m_browser->closeReason()).arg(code);
        closeServer(Unsent::Deliver);
    }
    onBrowserClosed();
}

void BrowserSession::onPingTimer()
{
    if (m_awaitingPong) {
        end(CloseCodes::GoingAway, QStringLiteral("the browser stopped answering"));
        m_browser->abort();
        return;
    }
    m_awaitingPong = true;
    m_browser->ping();
}

void BrowserSession::sendToBrowser(const QJsonObject& message)
{
    m_browser->sendTextMessage(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

} // namespace kova::web
