#pragma once

#include <QMutex>
#include <QPlainTextEdit>
#include <QTimer>

#include <vector>

namespace kova {

class LogText;

// The log view: shows the running log, read-only, with the caret kept after the newest line.
class LogView : public QPlainTextEdit {
    Q_OBJECT

public:
    // New lines reach the view at most this often: a person cannot read faster, and under load the
    // relay would otherwise spend its time laying out and painting the view line by line.
    static constexpr int RefreshMs = 40;

    // The log may be written on another thread (the relay's), which must have ended before the view is destroyed.
    explicit LogView(const LogText& log, QWidget* parent = nullptr);

    // Shows what has been logged but not yet shown.
    void showPending();

private:
    // What the log did, in order, kept until the view takes it: the log's thread only wakes this one once a refresh,
    // not for every line.
    struct Change {
        enum class Kind { Appended, DroppedFront, Cleared };
        Kind kind;
        QString chunk;
    };
    // On the log's thread.
    void receive(Change change);
    // On the view's thread.
    void startRefresh();
    void takeChanges();
    void insertPending();
    void dropFront(const QString& chunk);

    QMutex m_mutex;
    std::vector<Change> m_changes; // under m_mutex
    bool m_wakeAsked = false;      // under m_mutex
    QString m_pending;
    QTimer m_refresh;
};

} // namespace kova
