#include "LogText.h"

#include "io/AtomicWrite.h"
#include "io/Cp932.h"

#include <QStorageInfo>

#include <algorithm>
#include <limits>

namespace kova {

namespace {
QString mebibytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB");
}
} // namespace

qint64 LogText::defaultReserve(const QStorageInfo& storage)
{
    return std::min<qint64>(256LL * 1024 * 1024, storage.bytesTotal() / 20);
}

LogText::LogText(QDir directory, Clock clock, QObject* parent)
    : QObject(parent)
    , m_directory(std::move(directory))
    , m_clock(std::move(clock))
{}

QDateTime LogText::currentSecond()
{
    // Per thread, should the log ever be written from more than one.
    thread_local qint64 second = std::numeric_limits<qint64>::min();
    thread_local QDateTime local;
    if (const qint64 now = QDateTime::currentSecsSinceEpoch(); now != second) {
        second = now;
        local = QDateTime::fromSecsSinceEpoch(now);
    }
    return local;
}

QString LogText::stamp(const QDateTime& moment) const
{
    return moment.toString(QStringLiteral("yyyy/MM/dd H:mm:ss"));
}

QString LogText::fileNameFor(const QDateTime& moment)
{
    return moment.toString(QStringLiteral("yyyyMMddHHmmss")) + QStringLiteral(".log");
}

bool LogText::saveDue(const QString& message) const
{
    // After a failure, another try only once another limit's worth has come: one failure line per attempt, and
    // the whole text is not encoded anew for every line.
    const qsizetype held = m_saveFailed ? m_sinceFailedSave : m_text.size();
    return 2 * message.size() + 2 * held >= Limit;
}

void LogText::AppendLog(const QString& message)
{
    if (saveDue(message)) {
        QString error;
        if (save(true, &error)) {
            m_saveFailed = false;
            clear();
        } else {
            // Every line stays until a later save succeeds or the bound below drops the oldest.
            appendLine(QStringLiteral("ログを保存できませんでした。") + error);
            m_saveFailed = true;
            m_sinceFailedSave = 0;
        }
    }
    appendLine(message);
    if (2 * m_text.size() > m_maxUnsaved)
        dropOldestLines();
}

void LogText::appendLine(const QString& message)
{
    QString chunk;
    chunk.reserve(message.size() + 30);
    chunk += QStringLiteral("\r\n");
    chunk += message;
    chunk += QStringLiteral("   [");
    // Comparing two moments is cheap; turning one into seconds is not.
    const QDateTime now = m_clock();
    if (now != m_stampMoment || !m_stampMoment.isValid()) {
        m_stampMoment = now;
        m_stampText = stamp(now);
    }
    chunk += m_stampText;
    chunk += u']';
    m_text += chunk;
    m_lines.push_back(chunk.size());
    m_sinceFailedSave += chunk.size();
    Q_EMIT appended(chunk);
}

// Drops a limit's worth more than needed, so that this happens, and is reported, once per limit's worth of new
// text and not for every line.
void LogText::dropOldestLines()
{
    const qsizetype target = std::max<qsizetype>(0, m_maxUnsaved - Limit) / 2;
    qsizetype length = 0;
    qsizetype lines = 0;
    while (m_lines.size() > 1 && m_text.size() - length > target) {
        length += m_lines.front();
        m_lines.pop_front();
        ++lines;
    }
    if (lines == 0)
        return;
    const QString chunk = m_text.left(length);
    m_text.remove(0, length);
    Q_EMIT droppedFront(chunk);
    appendLine(QStringLiteral("ログを保存できないため、古い行を%1行捨てました。").arg(lines));
}

bool LogText::SaveLogFile(QString* error)
{
    return save(false, error);
}

bool LogText::save(bool keepReserve, QString* error)
{
    // A file from a save in the same second is continued; a failed save leaves it as it was.
    const QString path = m_directory.filePath(fileNameFor(m_clock()));
    const QByteArray bytes = cp932::encode(QString(m_text + QStringLiteral("\r\n")));
    if (keepReserve) {
        const QStorageInfo storage(m_directory);
        const qint64 reserve = storage.isValid() ? m_reserve(storage) : 0;
        if (reserve > 0 && storage.bytesAvailable() - bytes.size() < reserve) {
            if (error) {
                *error = QStringLiteral("ディスクの空きが残りわずかです(%1: 空き %2、%3 は空けておきます)。")
                             .arg(m_directory.absolutePath(), mebibytes(storage.bytesAvailable()), mebibytes(reserve));
            }
            return false;
        }
    }
    return appendWhole(path, bytes, error);
}

void LogText::clear()
{
    m_text.clear();
    m_lines.clear();
    Q_EMIT cleared();
}

} // namespace kova
