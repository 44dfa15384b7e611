#include "TcpWinsock.h"

#include "io/ProxyHeader.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kova {

namespace {
// An IPv4 client of the dual-stack listener is one address, however the system writes it.
QHostAddress plain(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}

// Null when the connection has already gone.
QHostAddress peerOf(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    return plain(QHostAddress(reinterpret_cast<const sockaddr*>(&address)));
}
} // namespace

void RequestServer::incomingConnection(qintptr descriptor)
{
    Q_EMIT requestArrived(descriptor);
}

// Raises one event; once its handlers have returned, the completions of the sends they made follow at once,
// one after the other, instead of waiting for another turn of the event loop.
template <typename Emit> void TcpWinsock::raise(Emit&& emit)
{
    ++m_raising;
    emit();
    --m_raising;
    if (m_raising == 0)
        deliverCompletions();
}

TcpWinsock::TcpWinsock(QObject* parent)
    : Winsock(parent)
    , m_server(new RequestServer(this))
{
    connect(m_server, &RequestServer::requestArrived, this, &TcpWinsock::onRequestArrived);
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        Q_EMIT errorOccurred(0, int(error), m_server->errorString());
    });
    for (int index = 1; index < ElementCount; ++index) {
        QTimer& resume = element(index).resume;
        // A child, so that it goes with the sockets to the relay's thread.
        resume.setParent(this);
        resume.setSingleShot(true);
        resume.setTimerType(Qt::PreciseTimer);
        connect(&resume, &QTimer::timeout, this, [this, index] { readIfAllowed(index); });
    }
}

TcpWinsock::~TcpWinsock()
{
    for (Element& e : m_elements) {
        if (e.socket)
            e.socket->disconnect(this);
    }
}

TcpWinsock::Element& TcpWinsock::element(int index)
{
    return m_elements.at(static_cast<std::size_t>(index));
}

const TcpWinsock::Element& TcpWinsock::element(int index) const
{
    return m_elements.at(static_cast<std::size_t>(index));
}

void TcpWinsock::setLocalPort(int index, quint16 port)
{
    element(index).localPort = port;
}

quint16 TcpWinsock::LocalPort(int index) const
{
    return element(index).localPort;
}

QString TcpWinsock::LocalIP() const
{
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return QStringLiteral("127.0.0.1");
}

int TcpWinsock::State(int index) const
{
    return element(index).state;
}

bool TcpWinsock::Listen(int index)
{
    Element& e = element(index);
    if (index != 0) {
        e.errorString = QStringLiteral("only element 0 listens");
        return false;
    }
    if (!m_server->listen(QHostAddress::Any, e.localPort)) {
        e.errorString = m_server->errorString();
        e.errorNumber = m_server->serverError();
        return false;
    }
    e.state = SocketState::Listening;
    e.errorString.clear();
    return true;
}

quint16 TcpWinsock::listeningPort() const
{
    return m_server->serverPort();
}

void TcpWinsock::onRequestArrived(qintptr descriptor)
{
    const QHostAddress peer = peerOf(descriptor);
    if (!admits(peer)) {
        // A reset ends it without the closing handshake, which a storm would otherwise cost thousands of times.
        const ::linger reset{1, 0};
        ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(int(descriptor));
        Q_EMIT connectionRefused(peer);
        return;
    }
    m_pendingRequest = descriptor;
    Q_EMIT connectionRequested(0, qint32(descriptor));
    if (m_pendingRequest == descriptor) {
        // Not taken up: end it now, so that the client sees its connection end.
        ::close(int(descriptor));
        m_pendingRequest = -1;
    }
}

// Every check of a new connection's address is made here, for the address it comes from and again for a browser's
// address that a gateway's header names.
bool TcpWinsock::admits(const QHostAddress& peer)
{
    return m_throttle.admits(peer);
}

void TcpWinsock::Accept(int index, qint32 requestId)
{
    Element& e = element(index);
    if (index == 0 || m_pendingRequest < 0 || qint32(m_pendingRequest) != requestId || e.socket) {
        Q_EMIT errorOccurred(index, int(QAbstractSocket::OperationError),
                             QStringLiteral("Accept: no such connection request or the element is in use"));
        return;
    }
    m_pendingRequest = -1;

    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestId)) {
        const QString reason = socket->errorString();
        delete socket;
        ::close(int(requestId));
        Q_EMIT errorOccurred(index, int(QAbstractSocket::UnknownSocketError), reason);
        return;
    }
    socket->setReadBufferSize(ReadBufferSize);
    // Small writes must not wait for the receiver's delayed acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    enableKeepAlive(*socket);

    connect(socket, &QTcpSocket::readyRead, this, [this, index] { readIfAllowed(index); });
    // A socket can report its end from inside a write or flush of ours: those events go out from the event
    // loop instead, one at a time, and only while this socket is still the element's.
    connect(
        socket, &QTcpSocket::disconnected, socket, [this, index, socket] { onPeerClosed(index, socket); },
        Qt::QueuedConnection);
    connect(
        socket, &QTcpSocket::errorOccurred, socket,
        [this, index, socket](QAbstractSocket::SocketError error) { onSocketError(index, socket, error); },
        Qt::QueuedConnection);

    e.socket = socket;
    e.decoder = cp932::Decoder();
    e.peer = plain(socket->peerAddress());
    e.budget = startingBudget(e.peer);
    e.endPending = false;
    e.headerPossible = true;
    e.errorString.clear();
    e.state = SocketState::Connected;
}

std::vector<TcpWinsock::RememberedBudget>::const_iterator TcpWinsock::remembered(const QHostAddress& peer) const
{
    return std::find_if(m_remembered.begin(), m_remembered.end(),
                        [&](const RememberedBudget& r) { return r.peer == peer; });
}

// A new connection from an address whose earlier connection ended with its budget spent starts from what is left of
// that budget (refilled for the time since), not from a full one. The entry stays: connections opened together each
// start from it and then each has a budget of its own.
InputBudget TcpWinsock::startingBudget(const QHostAddress& peer) const
{
    InputBudget budget(m_inputLimits, m_inputClock);
    if (const auto it = remembered(peer); it != m_remembered.end())
        budget.keepLower(it->budget);
    return budget;
}

void TcpWinsock::rememberBudget(const QHostAddress& peer, InputBudget budget)
{
    if (const auto it = remembered(peer); it != m_remembered.end()) {
        // The lowest of the address's ended connections counts: ending an idle one does not undo a flood.
        budget.keepLower(it->budget);
        m_remembered.erase(it);
    }
    // A full budget is what a new connection gets anyway.
    if (budget.isFull())
        return;
    if (m_remembered.size() >= RememberedPeers)
        m_remembered.erase(m_remembered.begin());
    m_remembered.push_back({peer, std::move(budget)});
}

void TcpWinsock::enableKeepAlive(QTcpSocket& socket) const
{
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = int(socket.socketDescriptor());
    const KeepAlive& k = m_keepAlive;
    // Unacknowledged output to a vanished peer gives up after the same time as the probes do.
    const unsigned int userTimeoutMs = unsigned(k.idleSeconds + k.intervalSeconds * k.probes) * 1000U;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &k.idleSeconds, sizeof k.idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &k.intervalSeconds, sizeof k.intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &k.probes, sizeof k.probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

// Raises dataArrived for what the element holds if its client's budget allows a read now. Otherwise the bytes stay
// where they are, the socket's bounded read buffer fills, the kernel's window closes and TCP holds the sender back,
// while the other clients are read as usual; the element's timer comes back once the budget has refilled.
void TcpWinsock::readIfAllowed(int index)
{
    Element& e = element(index);
    QTcpSocket* socket = e.socket;
    if (!socket || e.resume.isActive())
        return;
    if (e.headerPossible && !readHeader(index))
        return;
    if (socket->bytesAvailable() > 0) {
        if (!e.budget.allows()) {
            e.resume.start(e.budget.millisecondsUntilAllowed());
            return;
        }
        raise([&] { Q_EMIT dataArrived(index, qint32(qMin<qint64>(socket->bytesAvailable(), INT_MAX))); });
    }
    if (e.socket == socket && e.endPending) {
        e.endPending = false;
        raise([&] { Q_EMIT closed(index); });
    }
}

// Looks at the first bytes of a connection: a gateway on this machine puts a header with its browser's address there,
// which is taken and not passed on; from then on the connection is the browser's, for its budgets and for whoever
// asks for its address. Returns whether what the element holds may be read now: false while the first bytes could
// still turn out to be a header, or when the connection is being closed.
bool TcpWinsock::readHeader(int index)
{
    Element& e = element(index);
    const QByteArray start = e.socket->peek(ProxyHeader::MaxLength);
    if (start.isEmpty())
        return true;
    const ProxyHeader::Result header = ProxyHeader::read(start, e.peer, e.endPending);
    switch (header.outcome) {
    case ProxyHeader::Outcome::Incomplete:
        return false;
    case ProxyHeader::Outcome::Absent:
        e.headerPossible = false;
        return true;
    case ProxyHeader::Outcome::Accepted:
        e.headerPossible = false;
        e.socket->skip(header.length);
        if (header.source.isNull())
            return true;
        // The gateway's connection was the browser's, which is judged by its own address instead.
        m_throttle.refund(e.peer);
        e.peer = plain(header.source);
        e.budget = startingBudget(e.peer);
        if (admits(e.peer)) {
            const QTcpSocket* const socket = e.socket;
            raise([&] { Q_EMIT addressNamed(index); });
            // The relay may have closed it (a banned browser).
            return e.socket == socket;
        }
        Q_EMIT connectionRefused(e.peer);
        break;
    case ProxyHeader::Outcome::Malformed:
        Q_EMIT errorOccurred(
            index, int(QAbstractSocket::ProxyProtocolError),
            QStringLiteral("%1 から届いた PROXY ヘッダが正しくないため、接続を閉じました。").arg(e.peer.toString()));
        break;
    case ProxyHeader::Outcome::Untrusted:
        Q_EMIT errorOccurred(
            index, int(QAbstractSocket::ProxyProtocolError),
            QStringLiteral("%1 からの PROXY ヘッダは受け付けないため、接続を閉じました。").arg(e.peer.toString()));
        break;
    }
    cutOff(index);
    return false;
}

void TcpWinsock::onPeerClosed(int index, const QTcpSocket* socket)
{
    Element& e = element(index);
    if (e.socket != socket || e.state != SocketState::Connected)
        return;
    e.state = SocketState::PeerClosed;
    // Remembered at once, with what is still to be read charged, since the client may reconnect before that is read.
    InputBudget left = e.budget;
    if (const qint64 unread = e.socket->bytesAvailable(); unread > 0)
        left.spendMessage(unread);
    rememberBudget(e.peer, std::move(left));
    // What a client sent before it went is delivered first, when its budget allows; all of it is in the socket's
    // buffer by now, since its end is seen only after the last byte has been read from the kernel.
    if (e.socket->bytesAvailable() > 0) {
        e.endPending = true;
        readIfAllowed(index);
        return;
    }
    raise([&] { Q_EMIT closed(index); });
}

void TcpWinsock::onSocketError(int index, QTcpSocket* socket, QAbstractSocket::SocketError error)
{
    Element& e = element(index);
    if (e.socket != socket)
        return;
    // An ordinary end of a connection (close or reset by the peer) is reported as closed() alone.
    if (error != QAbstractSocket::RemoteHostClosedError) {
        e.errorString = socket->errorString();
        e.errorNumber = error;
        Q_EMIT errorOccurred(index, int(error), e.errorString);
    }
    if (socket->state() == QAbstractSocket::UnconnectedState)
        onPeerClosed(index, socket);
}

const QByteArray& TcpWinsock::encoded(const QString& text)
{
    if (text != m_lastText) {
        m_lastText = text;
        m_lastBytes = cp932::encode(text);
    }
    return m_lastBytes;
}

void TcpWinsock::SendData(int index, const QString& text)
{
    Element& e = element(index);
    if (e.state != SocketState::Connected || !e.socket) {
        Q_EMIT errorOccurred(index, int(QAbstractSocket::OperationError),
                             QStringLiteral("SendData: the element is not connected"));
    } else {
        writeNow(*e.socket, encoded(text));
        if (e.socket->bytesToWrite() > MaxPendingOutput)
            cutOff(index);
    }
    // Complete once handed to the socket's buffer, so that one slow reader holds up nobody.
    m_completions.push_back(index);
    if (m_raising == 0 && m_completions.size() == 1)
        QMetaObject::invokeMethod(this, &TcpWinsock::deliverCompletions, Qt::QueuedConnection);
}

// Completions of sends made while these are delivered join the same round: a whole broadcast walk takes one
// turn of the event loop, each event still delivered alone and in order.
void TcpWinsock::deliverCompletions()
{
    for (std::size_t i = 0; i < m_completions.size(); ++i)
        Q_EMIT sendCompleted(m_completions[i]);
    m_completions.clear();
}

void TcpWinsock::cutOff(int index)
{
    Element& e = element(index);
    releaseSocket(e, false);
    e.state = SocketState::PeerClosed;
    QMetaObject::invokeMethod(
        this,
        [this, index] {
            if (element(index).state == SocketState::PeerClosed)
                raise([&] { Q_EMIT closed(index); });
        },
        Qt::QueuedConnection);
}

// Hands as much as the kernel takes over at once; only what it refuses waits in the socket's buffer (and counts
// towards the pending limit). Straight to the descriptor while nothing waits, so that a send costs one system
// call and no notifier changes.
void TcpWinsock::writeNow(QTcpSocket& socket, const QByteArray& bytes)
{
    qsizetype sent = 0;
    if (socket.bytesToWrite() == 0) {
        const ssize_t n = ::send(int(socket.socketDescriptor()), bytes.constData(), std::size_t(bytes.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        sent = n > 0 ? n : 0;
    }
    if (sent < bytes.size()) {
        // Qt takes the rest, and reports a failed connection in its usual way.
        socket.write(bytes.constData() + sent, bytes.size() - sent);
        socket.flush();
    }
}

void TcpWinsock::GetData(int index, QString& text)
{
    Element& e = element(index);
    if (!e.socket) {
        text.clear();
        return;
    }
    const QByteArray bytes = e.socket->readAll();
    e.budget.spendMessage(bytes.size());
    text = e.decoder.decode(bytes);
}

void TcpWinsock::chargeInput(int index, qint64 bytes)
{
    Element& e = element(index);
    if (e.socket)
        e.budget.spendBytes(bytes);
}

void TcpWinsock::releaseSocket(Element& e, bool graceful)
{
    QTcpSocket* socket = e.socket;
    e.socket = nullptr;
    e.resume.stop();
    e.endPending = false;
    if (!socket)
        return;
    // A connection its client ended was remembered then.
    if (e.state == SocketState::Connected)
        rememberBudget(e.peer, e.budget);
    socket->disconnect(this);
    if (!graceful || socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    // Let what was already handed over reach the client before the connection ends.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
}

void TcpWinsock::Close(int index)
{
    Element& e = element(index);
    if (index == 0)
        m_server->close();
    else
        releaseSocket(e, true);
    e.state = SocketState::Closed;
}

QHostAddress TcpWinsock::remoteAddress(int index) const
{
    const Element& e = element(index);
    return e.state == SocketState::Closed ? QHostAddress() : e.peer;
}

QString TcpWinsock::errorString(int index) const
{
    return element(index).errorString;
}

int TcpWinsock::errorNumber(int index) const
{
    return element(index).errorNumber;
}

QHostAddress TcpWinsock::requestAddress(qint32 requestId) const
{
    if (m_pendingRequest < 0 || qint32(m_pendingRequest) != requestId)
        return {};
    return peerOf(m_pendingRequest);
}

} // namespace kova
