#pragma once

#include <QDateTime>
#include <QDir>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>

class QStorageInfo;

namespace kova {

using Clock = std::function<QDateTime()>;

// The running log the operator watches: lines of "message   [date time]", each preceded by CR LF.
// When the next message would bring the text to its size limit, the text is saved to a dated file in
// the working directory and starts again empty. A save that fails is tried again only once another limit's worth
// of text has come, and meanwhile the text is held up to a bound, beyond which its oldest lines are dropped.
class LogText : public QObject {
    Q_OBJECT

public:
    // Compared with twice the length in UTF-16 code units of the text plus the new message.
    static constexpr qsizetype Limit = 65535;
    // The most text held while saves fail, measured as Limit is.
    static constexpr qsizetype MaxUnsaved = 8 * 1024 * 1024;
    // Bytes a save while running leaves free on the log's file system.
    using DiskReserve = std::function<qint64(const QStorageInfo&)>;
    // min(256 MiB, 5 % of the file system's size).
    static qint64 defaultReserve(const QStorageInfo& storage);

    explicit LogText(QDir directory, Clock clock = &LogText::currentSecond, QObject* parent = nullptr);

    // The local time to the second. The local time costs microseconds a reading (the time zone is looked at each
    // time), and the log reads the clock for every line: it is worked out anew only when the second changes.
    static QDateTime currentSecond();

    const QString& text() const { return m_text; }
    // The time by the log's clock.
    QDateTime now() const { return m_clock(); }

    void AppendLog(const QString& message);
    // Writes the text followed by CR LF to a file named after the current date and time; a file of that
    // name from a save in the same second is continued, never replaced; a failed save leaves no part of the text
    // behind. The text itself stays. This is the save at the end, which uses whatever room the disk has.
    // Returns false with *error describing what failed.
    bool SaveLogFile(QString* error = nullptr);
    void clear();

    // The tests use smaller ones.
    void setDiskReserve(DiskReserve reserve) { m_reserve = std::move(reserve); }
    void setMaxUnsaved(qsizetype maxUnsaved) { m_maxUnsaved = maxUnsaved; }

    QString stamp(const QDateTime& moment) const;
    static QString fileNameFor(const QDateTime& moment);

Q_SIGNALS:
    // chunk is exactly what was added to the end of text().
    void appended(const QString& chunk);
    // chunk is exactly what was taken from the front of text(): whole lines.
    void droppedFront(const QString& chunk);
    void cleared();

private:
    bool save(bool keepReserve, QString* error);
    bool saveDue(const QString& message) const;
    void appendLine(const QString& message);
    void dropOldestLines();

    QDir m_directory;
    Clock m_clock;
    DiskReserve m_reserve = &LogText::defaultReserve;
    qsizetype m_maxUnsaved = MaxUnsaved;
    QString m_text;
    // The length of each line in the text, oldest first.
    std::deque<qsizetype> m_lines;
    // After a failed save: code units added since that attempt.
    bool m_saveFailed = false;
    qsizetype m_sinceFailedSave = 0;
    // Lines logged at the same moment by the clock share their rendered time stamp.
    QDateTime m_stampMoment;
    QString m_stampText;
};

} // namespace kova
