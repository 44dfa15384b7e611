#pragma once

#include "ConnectionThrottle.h"
#include "InputBudget.h"
#include "Winsock.h"
#include "io/Cp932.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#include <array>
#include <vector>

class QTcpSocket;

namespace kova {

// Element 0's listener hands each incoming descriptor over as a connection request.
class RequestServer : public QTcpServer {
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

Q_SIGNALS:
    void requestArrived(qintptr descriptor);

protected:
    void incomingConnection(qintptr descriptor) override;
};

// The socket elements over QTcpServer and QTcpSocket, on the thread that owns them.
class TcpWinsock final : public Winsock {
    Q_OBJECT

public:
    // A client that stops reading is cut off once this much output waits for it.
    static constexpr qint64 MaxPendingOutput = 1024 * 1024;
    // Each read yields at most this much, so a flooding client cannot exhaust memory; a client held back by its
    // input budget thus has its kernel window closed once this much waits.
    static constexpr qint64 ReadBufferSize = 64 * 1024;
    // The budgets of ended connections are remembered for this many peer addresses (the oldest forgotten), so that
    // reconnecting does not refill a budget faster than waiting does.
    static constexpr std::size_t RememberedPeers = 64;

    // A client whose machine vanished without closing its connection is found by TCP keepalive probes and
    // then reported as closed, so it does not hold one of the nine slots for ever.
    struct KeepAlive {
        int idleSeconds = 60;
        int intervalSeconds = 10;
        int probes = 6;
    };

    explicit TcpWinsock(QObject* parent = nullptr);
    ~TcpWinsock() override;

    void setLocalPort(int index, quint16 port) override;
    quint16 LocalPort(int index) const override;
    QString LocalIP() const override;
    int State(int index) const override;
    bool Listen(int index) override;
    void Accept(int index, qint32 requestId) override;
    void SendData(int index, const QString& text) override;
    void GetData(int index, QString& text) override;
    void Close(int index) override;
    QHostAddress remoteAddress(int index) const override;
    QString errorString(int index) const override;
    int errorNumber(int index) const override;
    QHostAddress requestAddress(qint32 requestId) const override;
    void chargeInput(int index, qint64 bytes) override;

    // The port element 0 actually listens on (differs from LocalPort when that is 0).
    quint16 listeningPort() const;
    // Applies to connections accepted from now on.
    void setKeepAlive(const KeepAlive& keepAlive) { m_keepAlive = keepAlive; }
    // Applies to connections accepted from now on; the tests use smaller ones to stay short.
    void setInputLimits(const InputBudget::Limits& limits) { m_inputLimits = limits; }
    // Applies to connections accepted from now on: the tests hold the budget's time still.
    void setInputClock(InputBudget::Clock clock) { m_inputClock = std::move(clock); }
    // The tests give it other limits or hold its time still.
    void setConnectionThrottle(ConnectionThrottle throttle) { m_throttle = std::move(throttle); }

private:
    struct Element {
        quint16 localPort = 0;
        int state = SocketState::Closed;
        QTcpSocket* socket = nullptr;
        cp932::Decoder decoder;
        QString errorString;
        int errorNumber = QAbstractSocket::UnknownSocketError;
        InputBudget budget;
        QHostAddress peer;
        // Runs while the client is held back, until its budget allows the next read.
        QTimer resume;
        // The client has gone while held back: its end is reported after what it sent before.
        bool endPending = false;
        // The connection's first bytes, which may be a gateway's header (ProxyHeader), are still to be looked at.
        bool headerPossible = false;
    };

    Element& element(int index);
    const Element& element(int index) const;
    void onRequestArrived(qintptr descriptor);
    // Whether a connection from peer may have a slot.
    bool admits(const QHostAddress& peer);
    bool readHeader(int index);
    void readIfAllowed(int index);
    void onPeerClosed(int index, const QTcpSocket* socket);
    void onSocketError(int index, QTcpSocket* socket, QAbstractSocket::SocketError error);
    void releaseSocket(Element& element, bool graceful);
    void cutOff(int index);
    void deliverCompletions();
    template <typename Emit> void raise(Emit&& emit);
    static void writeNow(QTcpSocket& socket, const QByteArray& bytes);
    const QByteArray& encoded(const QString& text);
    void enableKeepAlive(QTcpSocket& socket) const;
    InputBudget startingBudget(const QHostAddress& peer) const;
    void rememberBudget(const QHostAddress& peer, InputBudget budget);

    std::array<Element, ElementCount> m_elements;
    RequestServer* m_server = nullptr;
    KeepAlive m_keepAlive;
    InputBudget::Limits m_inputLimits = InputBudget::Shipped;
    InputBudget::Clock m_inputClock = &InputBudget::steadyNanoseconds;
    ConnectionThrottle m_throttle;
    struct RememberedBudget {
        QHostAddress peer;
        InputBudget budget;
    };
    // Budgets left below full by ended connections, the least recently ended first.
    std::vector<RememberedBudget> m_remembered;
    // peer's entry, or the end.
    std::vector<RememberedBudget>::const_iterator remembered(const QHostAddress& peer) const;
    std::vector<int> m_completions;
    int m_raising = 0;
    qintptr m_pendingRequest = -1;
    // One broadcast sends the same text to every client: encode it once.
    QString m_lastText;
    QByteArray m_lastBytes;
};

} // namespace kova
