#pragma once

#include <QWidget>

class QPlainTextEdit;

namespace kova {

class LogText;

// A plain window that shows the running log.
class LogWindow : public QWidget {
    Q_OBJECT

public:
    explicit LogWindow(const LogText& log, QWidget* parent = nullptr);

Q_SIGNALS:
    // The window is being closed; handlers run before it goes.
    void closing();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showAppended(const QString& chunk);

    QPlainTextEdit* m_view = nullptr;
};

} // namespace kova
