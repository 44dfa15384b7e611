#pragma once

#include <QObject>

class QLocalSocket;

namespace kova {

// Turns SIGTERM, SIGINT and SIGHUP into the terminationRequested() signal on the event loop, so that the
// program ends through its ordinary shutdown.
class SignalHandler : public QObject {
    Q_OBJECT

public:
    explicit SignalHandler(QObject* parent = nullptr);
    ~SignalHandler() override;

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    static void onSignal(int signalNumber);
    void readSignals();

    // The handler writes each signal's number to one end; the event loop reads the other.
    static inline int s_sockets[2] = {-1, -1};
    QLocalSocket* m_reader = nullptr;
};

} // namespace kova
