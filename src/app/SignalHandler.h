#pragma once

#include <QObject>

class QSocketNotifier;

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
    void readSignal();

    static inline int s_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace kova
