#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

namespace kova {

// Values that State() reports. Callers rely only on Closed and Connected.
namespace SocketState {
constexpr int Closed = 0;
constexpr int Listening = 2;
constexpr int Connected = 7;
constexpr int PeerClosed = 8; // the peer has gone; reads neither Closed nor Connected until Close()
} // namespace SocketState

// The array of ten socket elements: element 0 listens, elements 1 to 9 carry one client each.
// Events are delivered one at a time on the thread that owns the object.
class Winsock : public QObject {
    Q_OBJECT

public:
    static constexpr int ElementCount = 10;

    using QObject::QObject;
    ~Winsock() override = default;

    virtual void setLocalPort(int index, quint16 port) = 0;
    virtual quint16 LocalPort(int index) const = 0;
    virtual QString LocalIP() const = 0;
    virtual int State(int index) const = 0;
    // Starts accepting on element index's LocalPort; false, with errorString(index) set, when that fails.
    virtual bool Listen(int index) = 0;
    virtual void Accept(int index, qint32 requestId) = 0;
    // Queues text for sending; sendCompleted(index) follows once it has been handed on.
    virtual void SendData(int index, const QString& text) = 0;
    // Moves everything received so far into text.
    virtual void GetData(int index, QString& text) = 0;
    virtual void Close(int index) = 0;
    // The address of the client on element index, as the operator sees it: for a browser behind a gateway on this
    // machine, the browser's (see ProxyHeader). Null when the element holds no connection.
    virtual QHostAddress remoteAddress(int index) const = 0;
    virtual QString errorString(int index) const = 0;
    // The QAbstractSocket::SocketError of the element's last failure.
    virtual int errorNumber(int index) const = 0;
    // The address that a connection request comes from, while its connectionRequested() is being handled.
    virtual QHostAddress requestAddress(qint32 requestId) const = 0;
    // Charges what a message read from element index makes the relay send, beyond its own bytes, to that client's
    // input budget: a long name must not multiply what one client can make the server send and log.
    virtual void chargeInput(int index, qint64 bytes)
    {
        Q_UNUSED(index);
        Q_UNUSED(bytes);
    }

Q_SIGNALS:
    // A request not accepted by the time the handlers return is refused.
    void connectionRequested(int index, qint32 requestId);
    // A connection from address was closed at once, before it took a slot, for coming too often.
    void connectionRefused(const QHostAddress& address);
    void dataArrived(int index, qint32 bytesTotal);
    // The peer closed or reset the connection.
    void closed(int index);
    // A gateway on this machine named the browser whose connection element index carries: remoteAddress(index) is
    // the browser's from now on.
    void addressNamed(int index);
    void errorOccurred(int index, int number, const QString& description);
    void sendCompleted(int index);
};

} // namespace kova
