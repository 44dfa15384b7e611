#include "LogView.h"

#include "log/LogText.h"

namespace kova {

LogView::LogView(const LogText& log, QWidget* parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setPlainText(log.text());
    connect(&log, &LogText::appended, this, &LogView::showAppended);
    connect(&log, &LogText::cleared, this, &QPlainTextEdit::clear);
}

void LogView::showAppended(const QString& chunk)
{
    // Append at the end instead of setting the whole text anew, so a line costs the same however long the
    // log is; the caret follows so that the newest line is in view.
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    QString lines = chunk;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    cursor.insertText(lines);
    setTextCursor(cursor);
}

} // namespace kova
