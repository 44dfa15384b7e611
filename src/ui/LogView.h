#pragma once

#include <QPlainTextEdit>
#include <QTimer>

namespace kova {

class LogText;

// The log view: shows the running log, read-only, with the caret kept after the newest line.
class LogView : public QPlainTextEdit {
    Q_OBJECT

public:
    // New lines reach the view at most this often: a person cannot read faster, and under load the
    // relay would otherwise spend its time laying out and painting the view line by line.
    static constexpr int RefreshMs = 40;

    explicit LogView(const LogText& log, QWidget* parent = nullptr);

    // Shows what has been logged but not yet shown.
    void showPending();

private:
    void onAppended(const QString& chunk);
    void onDroppedFront(const QString& chunk);
    void onCleared();

    QString m_pending;
    QTimer m_refresh;
};

} // namespace kova
