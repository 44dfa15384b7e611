#include "FakeWinsock.h"

namespace kova::test {

bool FakeWinsock::Listen(int index)
{
    calls.append(QStringLiteral("Listen(%1):%2").arg(index).arg(LocalPort(index)));
    if (listenFails)
        return false;
    m_states.at(std::size_t(index)) = SocketState::Listening;
    return true;
}

void FakeWinsock::Accept(int index, qint32 requestId)
{
    calls.append(QStringLiteral("Accept(%1,%2)").arg(index).arg(requestId));
    m_states.at(std::size_t(index)) = SocketState::Connected;
    m_decoders.at(std::size_t(index)) = cp932::Decoder();
    addresses.at(std::size_t(index)) = m_requestPeer;
    m_accepted.append(index);
}

void FakeWinsock::GetData(int index, QString& text)
{
    text = m_inbox.at(std::size_t(index));
    m_inbox.at(std::size_t(index)).clear();
}

void FakeWinsock::Close(int index)
{
    calls.append(QStringLiteral("Close(%1)").arg(index));
    m_states.at(std::size_t(index)) = SocketState::Closed;
}

int FakeWinsock::connect(qint32 requestId)
{
    m_accepted.clear();
    Q_EMIT connectionRequested(0, requestId);
    return m_accepted.isEmpty() ? -1 : m_accepted.first();
}

void FakeWinsock::nameAddress(int index, const QHostAddress& address)
{
    addresses.at(std::size_t(index)) = address;
    Q_EMIT addressNamed(index);
}

int FakeWinsock::connectFrom(const QHostAddress& peer, qint32 requestId)
{
    m_requestPeer = peer;
    const int slot = connect(requestId);
    m_requestPeer = QHostAddress(QHostAddress::LocalHost);
    return slot;
}

void FakeWinsock::receive(int index, const QString& text)
{
    m_inbox.at(std::size_t(index)) += text;
    Q_EMIT dataArrived(index, qint32(text.size()));
}

QString FakeWinsock::receiveBytes(int index, QByteArrayView bytes)
{
    const QString text = m_decoders.at(std::size_t(index)).decode(bytes);
    receive(index, text);
    return text;
}

void FakeWinsock::peerCloses(int index)
{
    m_states.at(std::size_t(index)) = SocketState::PeerClosed;
    Q_EMIT closed(index);
}

QStringList FakeWinsock::drainSends(const std::function<bool()>& walkRunning)
{
    for (int step = 0; step < 1000 && walkRunning() && !sends.isEmpty(); ++step)
        completeSend();
    QStringList texts;
    for (const Send& send : std::as_const(sends))
        texts.append(QStringLiteral("%1:%2").arg(send.index).arg(send.text));
    sends.clear();
    return texts;
}

void FakeWinsock::completeSend()
{
    Q_ASSERT(!sends.isEmpty());
    Q_EMIT sendCompleted(sends.last().index);
}

} // namespace kova::test
