#pragma once

#include <QPlainTextEdit>

namespace kova {

class LogText;

// The log view: shows the running log, read-only, with the caret kept after the newest line.
class LogView : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit LogView(const LogText& log, QWidget* parent = nullptr);

private:
    void showAppended(const QString& chunk);
};

} // namespace kova
