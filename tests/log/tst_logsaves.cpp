#include "Harness.h"
#include "NamespacedTestMain.h"
#include "Tmpfs.h"
#include "io/Cp932.h"
#include "log/LogText.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTest>

using namespace kova;
using namespace kova::test;

namespace {

const QString SaveFailed = QStringLiteral("ログを保存できませんでした。");

QString message(int i)
{
    return QStringLiteral("m%1 ").arg(i, 5, 10, QChar(u'0')) + QString(993, u'x');
}

QStringList logFiles(const Tmpfs& disk)
{
    return QDir(disk.path()).entryList({QStringLiteral("*.log")}, QDir::Files);
}

QString fileText(const Tmpfs& disk, const QString& name)
{
    QFile file(QDir(disk.path()).filePath(name));
    return file.open(QIODevice::ReadOnly) ? cp932::decode(file.readAll()) : QStringLiteral("<missing>");
}

} // namespace

// How the log is saved while the disk is full or nearly full: each on a small tmpfs of its own.
class TestLogSaves : public QObject {
    Q_OBJECT

    ManualClock m_time;

private Q_SLOTS:
    void fullDiskFailsOncePerLimitsWorthAndLosesNothing()
    {
        Tmpfs disk;
        QVERIFY2(disk.ok(), qPrintable(disk.error()));
        LogText log(QDir(disk.path()), m_time.clock());
        log.setDiskReserve([](const QStorageInfo&) { return 0; }); // no reserve: the write meets the full disk
        QVERIFY(disk.fill());

        // Lines of 1,000 code units take 1,025 of the text: a save is due after every 31 of them.
        for (int i = 0; i < 330; ++i)
            log.AppendLog(message(i));
        QCOMPARE(log.text().count(SaveFailed), 10);
        QVERIFY(log.text().contains(QStringLiteral("No space left on device")));
        QVERIFY(logFiles(disk).isEmpty());

        // Room again: the next save writes everything held, failure lines included.
        QVERIFY(QFile::remove(QDir(disk.path()).filePath(QStringLiteral("filler"))));
        int next = 330;
        QString held;
        while (logFiles(disk).isEmpty() && next < 400) {
            held = log.text();
            log.AppendLog(message(next++));
        }
        QCOMPARE(logFiles(disk).size(), 1);
        QCOMPARE(fileText(disk, logFiles(disk).first()), held + QStringLiteral("\r\n"));
        qsizetype at = 0;
        for (int i = 0; i < next - 1 && at >= 0; ++i)
            at = held.indexOf(QStringLiteral("\r\n") + message(i) + QStringLiteral("   ["), at);
        QVERIFY(at > 0);
        QCOMPARE(log.text().count(u'\n'), 1);
        // Saving works again: the next save is due a limit's worth later, as before the disk was full.
        for (int i = 0; i < 20; ++i)
            log.AppendLog(message(next++));
        QCOMPARE(log.text().count(u'\n'), 21);
    }

    // A save while running leaves min(256 MiB, 5 %) free: on this 1 MiB disk, 52,428 bytes. The save at the end
    // uses whatever room there is.
    void reserveIsKeptWhileRunningButNotAtTheEnd()
    {
        Tmpfs disk;
        QVERIFY2(disk.ok(), qPrintable(disk.error()));
        QCOMPARE(LogText::defaultReserve(QStorageInfo(disk.path())), 52428);
        LogText log(QDir(disk.path()), m_time.clock());
        QVERIFY(disk.leaveFree(60 * 1024));
        for (int i = 0; i < 40; ++i)
            log.AppendLog(message(i));
        QCOMPARE(log.text().count(SaveFailed), 1);
        QVERIFY(log.text().contains(QStringLiteral("ディスクの空きが残りわずかです")));
        QVERIFY(logFiles(disk).isEmpty());

        const QString held = log.text();
        QVERIFY(log.SaveLogFile());
        QCOMPARE(fileText(disk, logFiles(disk).first()), held + QStringLiteral("\r\n"));
    }

    // While saves fail the text is held up to a bound (8 MiB; 256 KiB here): beyond it the oldest lines go, with
    // one line saying how many. Every line is either still held or counted as dropped.
    void unsavedTextIsBoundedAndEveryDropIsReported()
    {
        Tmpfs disk;
        QVERIFY2(disk.ok(), qPrintable(disk.error()));
        LogText log(QDir(disk.path()), m_time.clock());
        const qsizetype bound = 4 * LogText::Limit;
        log.setMaxUnsaved(bound);
        QVERIFY(disk.fill());
        QSignalSpy appended(&log, &LogText::appended);
        QString dropped;
        connect(&log, &LogText::droppedFront, this, [&dropped](const QString& chunk) { dropped += chunk; });

        qsizetype largest = 0;
        for (int i = 0; i < 2000; ++i) {
            log.AppendLog(message(i));
            largest = std::max(largest, 2 * log.text().size());
        }
        QVERIFY2(largest <= bound, qPrintable(QString::number(largest)));

        QString everything;
        for (const QList<QVariant>& chunk : appended)
            everything += chunk.at(0).toString();
        QCOMPARE(dropped + log.text(), everything);
        static const QRegularExpression report(QStringLiteral("古い行を(\\d+)行捨てました"));
        qsizetype reported = 0;
        for (auto match = report.globalMatch(everything); match.hasNext();)
            reported += match.next().captured(1).toLongLong();
        QCOMPARE(reported, dropped.count(QStringLiteral("   [")));
        QVERIFY(reported > 1000);

        QVERIFY(QFile::remove(QDir(disk.path()).filePath(QStringLiteral("filler"))));
        const QString held = log.text();
        QVERIFY(log.SaveLogFile());
        QCOMPARE(fileText(disk, logFiles(disk).first()), held + QStringLiteral("\r\n"));
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestLogSaves, true)

#include "tst_logsaves.moc"
