#include "LogText.h"

#include "io/AtomicWrite.h"
#include "io/Cp932.h"

namespace kova {

LogText::LogText(QDir directory, Clock clock, QObject* parent)
    : QObject(parent)
    , m_directory(std::move(directory))
    , m_clock(std::move(clock))
{}

QString LogText::stamp(const QDateTime& moment) const
{
    return moment.toString(QStringLiteral("yyyy/MM/dd H:mm:ss"));
}

QString LogText::fileNameFor(const QDateTime& moment)
{
    return moment.toString(QStringLiteral("yyyyMMddHHmmss")) + QStringLiteral(".log");
}

void LogText::AppendLog(const QString& message)
{
    if (2 * message.size() + 2 * m_text.size() >= Limit) {
        QString error;
        if (SaveLogFile(&error)) {
            clear();
        } else {
            // Keep every line: the text stays and grows until a later save succeeds.
            appendLine(QStringLiteral("ログを保存できませんでした。") + error);
        }
    }
    appendLine(message);
}

void LogText::appendLine(const QString& message)
{
    QString chunk;
    chunk.reserve(message.size() + 30);
    chunk += QStringLiteral("\r\n");
    chunk += message;
    chunk += QStringLiteral("   [");
    const QDateTime now = m_clock();
    if (const qint64 second = now.toSecsSinceEpoch(); second != m_stampSecond) {
        m_stampSecond = second;
        m_stampText = stamp(now);
    }
    chunk += m_stampText;
    chunk += u']';
    m_text += chunk;
    Q_EMIT appended(chunk);
}

bool LogText::SaveLogFile(QString* error)
{
    // A file from a save in the same second is continued; a failed save leaves it as it was.
    const QString path = m_directory.filePath(fileNameFor(m_clock()));
    return appendWhole(path, cp932::encode(QString(m_text + QStringLiteral("\r\n"))), error);
}

void LogText::clear()
{
    m_text.clear();
    Q_EMIT cleared();
}

} // namespace kova
