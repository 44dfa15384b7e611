#pragma once

#include <QDateTime>
#include <QDir>
#include <QObject>
#include <QString>

#include <functional>

namespace kova {

using Clock = std::function<QDateTime()>;

// The running log the operator watches: lines of "message   [date time]", each preceded by CR LF.
// When the next message would bring the text to its size limit, the text is saved to a dated file in
// the working directory and starts again empty.
class LogText : public QObject {
    Q_OBJECT

public:
    // Compared with twice the length in UTF-16 code units of the text plus the new message.
    static constexpr qsizetype Limit = 65535;

    explicit LogText(QDir directory, Clock clock = &QDateTime::currentDateTime, QObject* parent = nullptr);

    const QString& text() const { return m_text; }

    void AppendLog(const QString& message);
    // Writes the text followed by CR LF to a file named after the current date and time; a file of that
    // name from a save in the same second is continued, never replaced; a failed save leaves no part of the text
    // behind. The text itself stays.
    // Returns false with *error describing what failed.
    bool SaveLogFile(QString* error = nullptr);
    void clear();

    QString stamp(const QDateTime& moment) const;
    static QString fileNameFor(const QDateTime& moment);

Q_SIGNALS:
    // chunk is exactly what was added to the end of text().
    void appended(const QString& chunk);
    void cleared();

private:
    void appendLine(const QString& message);

    QDir m_directory;
    Clock m_clock;
    QString m_text;
    // Lines logged within the same second share their rendered time stamp.
    qint64 m_stampSecond = -1;
    QString m_stampText;
};

} // namespace kova
