#pragma once

#include "io/Cp932.h"
#include "relay/Winsock.h"

#include <QList>
#include <QPair>
#include <QStringList>

#include <array>
#include <functional>

namespace kova::test {

// A socket array whose events the test raises itself and whose calls it records.
class FakeWinsock final : public Winsock {
    Q_OBJECT

public:
    struct Send {
        int index;
        QString text;
        bool operator==(const Send&) const = default;
    };

    using Winsock::Winsock;

    void setLocalPort(int index, quint16 port) override { m_ports.at(std::size_t(index)) = port; }
    quint16 LocalPort(int index) const override { return m_ports.at(std::size_t(index)); }
    QString LocalIP() const override { return QStringLiteral("192.0.2.7"); }
    int State(int index) const override { return m_states.at(std::size_t(index)); }
    bool Listen(int index) override;
    void Accept(int index, qint32 requestId) override;
    void SendData(int index, const QString& text) override { sends.append({index, text}); }
    void GetData(int index, QString& text) override;
    void Close(int index) override;
    void chargeInput(int index, qint64 bytes) override { charged.at(std::size_t(index)) += bytes; }
    QHostAddress remoteAddress(int index) const override { return addresses.at(std::size_t(index)); }
    QString errorString(int) const override { return listenError; }
    int errorNumber(int) const override { return listenErrorNumber; }
    QHostAddress requestAddress(qint32) const override { return m_requestPeer; }

    // Test controls: each raises the event the real sockets would.
    int connect(qint32 requestId = 1000);
    // A connection request from the given address; returns the slot it was accepted into, or -1.
    int connectFrom(const QHostAddress& peer, qint32 requestId = 1000);
    // A gateway's header names the browser on element index.
    void nameAddress(int index, const QHostAddress& address);
    void receive(int index, const QString& text);
    // Bytes as one read brings them, decoded as the real sockets decode them; returns what that read yields.
    QString receiveBytes(int index, QByteArrayView bytes);
    void peerCloses(int index);
    void completeSend();
    // Completes sends until the relay's walk has ended (bounded), then returns "slot:text" for every send
    // made and forgets them.
    QStringList drainSends(const std::function<bool()>& walkRunning);
    void setState(int index, int state) { m_states.at(std::size_t(index)) = state; }

    QList<Send> sends;
    // What remoteAddress() reports for each element.
    std::array<QHostAddress, ElementCount> addresses{};
    std::array<qint64, ElementCount> charged{};
    QStringList calls;
    QString listenError;
    int listenErrorNumber = 0;
    bool listenFails = false;

private:
    std::array<int, ElementCount> m_states{};
    std::array<quint16, ElementCount> m_ports{};
    QHostAddress m_requestPeer{QHostAddress::LocalHost};
    std::array<QString, ElementCount> m_inbox;
    std::array<cp932::Decoder, ElementCount> m_decoders;
    QList<int> m_accepted;
};

} // namespace kova::test
