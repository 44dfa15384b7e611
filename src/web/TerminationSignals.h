#pragma once

#include <QObject>

class QSocketNotifier;

namespace kova::web {

// SIGTERM, SIGINT and SIGHUP as a signal on the event loop. They are blocked in every thread and read from a
// signalfd, so no code runs in a signal handler.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    // Blocks the signals; call before any thread starts, so that every thread inherits the mask.
    static void block();

    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    // The signal's name, e.g. "SIGTERM".
    void received(const QString& name);

private:
    void onReadable();

    int m_descriptor = -1;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace kova::web
