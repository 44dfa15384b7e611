#pragma once

#include "Frontend.h"

#include <QByteArray>
#include <QStringView>

#include <deque>

class QSocketNotifier;

namespace kova {

class Application;

// The server without a window: every log line also goes to standard output, for a terminal or the journal.
// Standard output never holds the server up: lines it cannot take yet wait (1 MiB at most, the oldest dropped
// beyond that) and go out once it can.
class Console final : public Frontend {
    Q_OBJECT

public:
    // outputOpen: whether standard output was open when the program started (see reserveStandardStreams).
    explicit Console(Application& app, bool outputOpen = true, QObject* parent = nullptr);
    ~Console() override;

    void end() override;
    bool showsFailure() const override { return false; }
    bool bringToFront() override { return false; }

    // What the log appended, as lines for a terminal: UTF-8, and no control character that a terminal would obey.
    static QByteArray terminalLines(QStringView chunk);

    static constexpr qsizetype WaitingLimit = 1 << 20;

private:
    void announce();
    void openOutput();
    void mirror(const QString& chunk);
    void enqueue(QByteArray line);
    void writeWaiting();
    void flushBeforeExit();
    void stopMirroring(int error);

    Application& m_app;
    // A description of standard output of our own that never blocks, or standard output itself for a regular
    // file; -1 once mirroring has stopped.
    int m_fd = -1;
    bool m_ownDescription = false;
    bool m_socket = false;
    QSocketNotifier* m_writable = nullptr;
    std::deque<QByteArray> m_waiting;
    qsizetype m_waitingBytes = 0;
    // How much of the first waiting line has gone out already: that line is never dropped.
    qsizetype m_firstWritten = 0;
    qint64 m_notShown = 0;
};

} // namespace kova
