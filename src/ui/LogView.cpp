#include "LogView.h"

#include "log/LogText.h"

#include <QThread>

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
    m_pending = log.text();
    m_refresh.start();
    connect(
        &log, &LogText::appended, this,
        [this](const QString& chunk) {
            receive({Change::Kind::Appended, chunk});
        },
        Qt::DirectConnection);
    connect(
        &log, &LogText::droppedFront, this,
        [this](const QString& chunk) {
            receive({Change::Kind::DroppedFront, chunk});
        },
        Qt::DirectConnection);
    connect(
        &log, &LogText::cleared, this,
        [this] {
            receive({Change::Kind::Cleared, {}});
        },
        Qt::DirectConnection);
}

void LogView::receive(Change change)
{
    // On the view's own thread a dropped front or a clearing shows at once, as it did before the relay had a thread.
    const bool here = QThread::currentThread() == thread();
    const Change::Kind kind = change.kind;
    {
        const QMutexLocker lock(&m_mutex);
        if (kind == Change::Kind::Appended && !m_changes.empty() && m_changes.back().kind == Change::Kind::Appended)
            m_changes.back().chunk += change.chunk;
        else
            m_changes.push_back(std::move(change));
        if (!here && !m_wakeAsked) {
            m_wakeAsked = true;
            QMetaObject::invokeMethod(this, &LogView::startRefresh, Qt::QueuedConnection);
        }
    }
    if (!here)
        return;
    if (kind == Change::Kind::Appended)
        startRefresh();
    else
        takeChanges();
}

void LogView::startRefresh()
{
    if (!m_refresh.isActive())
        m_refresh.start();
}

void LogView::takeChanges()
{
    std::vector<Change> changes;
    {
        const QMutexLocker lock(&m_mutex);
        changes.swap(m_changes);
        m_wakeAsked = false;
    }
    for (Change& change : changes) {
        switch (change.kind) {
        case Change::Kind::Appended:
            m_pending += change.chunk;
            break;
        case Change::Kind::DroppedFront:
            dropFront(change.chunk);
            break;
        case Change::Kind::Cleared:
            m_pending.clear();
            clear();
            break;
        }
    }
}

// The view holds the log's text with each CR LF as one block separator, so the dropped lines end at that position.
void LogView::dropFront(const QString& chunk)
{
    insertPending();
    QTextCursor cursor(document());
    cursor.setPosition(qMin(chunk.size() - chunk.count(QStringLiteral("\r\n")), document()->characterCount() - 1),
                       QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void LogView::showPending()
{
    m_refresh.stop();
    takeChanges();
    insertPending();
}

void LogView::insertPending()
{
    if (m_pending.isEmpty())
        return;
    // Append at the end instead of setting the whole text anew, so a line costs the same however long the
    // log is; the caret follows so that the newest line is in view.
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    // insertText makes one block separator of each CR LF, lone CR and lone LF, as dropFront counts them.
    cursor.insertText(m_pending);
    setTextCursor(cursor);
    m_pending.clear();
}

} // namespace kova
