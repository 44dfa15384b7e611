#include "LogWindow.h"

#include "log/LogText.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace kova {

LogWindow::LogWindow(const LogText& log, QWidget* parent)
    : QWidget(parent)
    , m_view(new QPlainTextEdit(this)) {
    setWindowTitle(QStringLiteral("KOVA"));
    m_view->setReadOnly(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(611, 292);

    connect(&log, &LogText::appended, this, &LogWindow::showAppended);
    connect(&log, &LogText::cleared, m_view, &QPlainTextEdit::clear);
}

void LogWindow::showAppended(const QString& chunk) {
    // Append at the end instead of setting the whole text anew, so a line costs the same however long
    // the log is; the caret follows so that the newest line is in view.
    QTextCursor cursor = m_view->textCursor();
    cursor.movePosition(QTextCursor::End);
    QString lines = chunk;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    cursor.insertText(lines);
    m_view->setTextCursor(cursor);
}

void LogWindow::closeEvent(QCloseEvent* event) {
    Q_EMIT closing();
    event->accept();
}

} // namespace kova
