#include "LogView.h"

#include "log/LogText.h"

namespace kova {

LogView::LogView(const LogText& log, QWidget* parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(RefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &LogView::showPending);
    onAppended(log.text());
    connect(&log, &LogText::appended, this, &LogView::onAppended);
    connect(&log, &LogText::droppedFront, this, &LogView::onDroppedFront);
    connect(&log, &LogText::cleared, this, &LogView::onCleared);
}

// The view holds the log's text with each CR LF as one block separator, so the dropped lines end at that position.
void LogView::onDroppedFront(const QString& chunk)
{
    showPending();
    QTextCursor cursor(document());
    cursor.setPosition(qMin(chunk.size() - chunk.count(QStringLiteral("\r\n")), document()->characterCount() - 1),
                       QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void LogView::onAppended(const QString& chunk)
{
    m_pending += chunk;
    if (!m_refresh.isActive())
        m_refresh.start();
}

void LogView::onCleared()
{
    m_pending.clear();
    m_refresh.stop();
    clear();
}

void LogView::showPending()
{
    m_refresh.stop();
    if (m_pending.isEmpty())
        return;
    // Append at the end instead of setting the whole text anew, so a line costs the same however long the
    // log is; the caret follows so that the newest line is in view.
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    // insertText makes one block separator of each CR LF, lone CR and lone LF, as onDroppedFront counts them.
    cursor.insertText(m_pending);
    setTextCursor(cursor);
    m_pending.clear();
}

} // namespace kova
