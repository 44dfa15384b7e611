#include "Harness.h"
#include "io/Cp932.h"
#include "log/LogText.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace kova;
using namespace kova::test;

class TestLogText : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    ManualClock m_time;

    QByteArray fileBytes(const QString& name) const
    {
        QFile file(QDir(m_dir.path()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QStringList logFiles() const { return QDir(m_dir.path()).entryList({QStringLiteral("*.log")}, QDir::Files); }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        for (const QString& name : logFiles())
            QVERIFY(QFile::remove(QDir(m_dir.path()).filePath(name)));
        m_time.now = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
    }

    // The default clock: local time, whole seconds, never behind the system's.
    void theSystemClockGivesTheLocalSecond()
    {
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const QDateTime now = LogText::currentSecond();
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(now.timeSpec(), Qt::LocalTime);
        QCOMPARE(now.time().msec(), 0);
        QVERIFY(now.toSecsSinceEpoch() >= before && now.toSecsSinceEpoch() <= after);
        QTRY_VERIFY_WITH_TIMEOUT(LogText::currentSecond().toSecsSinceEpoch() > after, 3000);
    }

    void linesCarryTheirTimeStamp()
    {
        LogText log(QDir(m_dir.path()), m_time.clock());
        QSignalSpy appended(&log, &LogText::appended);
        log.AppendLog(QStringLiteral("サーバとして待ち受けます。"));
        m_time.now = QDateTime(QDate(2026, 12, 24), QTime(23, 59, 58));
        log.AppendLog(QStringLiteral("x"));
        QCOMPARE(log.text(),
                 QStringLiteral("\r\nサーバとして待ち受けます。   [2026/01/02 3:04:05]\r\nx   [2026/12/24 23:59:58]"));
        QCOMPARE(appended.size(), 2);
        QCOMPARE(appended.at(1).at(0).toString(), QStringLiteral("\r\nx   [2026/12/24 23:59:58]"));
    }

    // However small the bound on unsaved text, the line just logged stays.
    void theNewestLineIsNeverDropped()
    {
        LogText log(QDir(m_dir.path()), m_time.clock());
        log.setMaxUnsaved(1000);
        log.AppendLog(QString(600, u'a'));
        log.AppendLog(QString(600, u'b'));
        QVERIFY(!log.text().contains(u'a'));
        QVERIFY(log.text().contains(QString(600, u'b')));
    }

    void savedFileIsTheTextThenCrLfInCodePage932()
    {
        LogText log(QDir(m_dir.path()), m_time.clock());
        log.AppendLog(QStringLiteral("サーバ"));
        QVERIFY(log.SaveLogFile());
        QCOMPARE(logFiles(), QStringList{QStringLiteral("20260102030405.log")});
        QCOMPARE(fileBytes(QStringLiteral("20260102030405.log")),
                 QByteArray("\r\n") + cp932::encode(QStringLiteral("サーバ")) + "   [2026/01/02 3:04:05]\r\n");
        QVERIFY(!log.text().isEmpty());
    }

    void saveInTheSameSecondAppends()
    {
        LogText log(QDir(m_dir.path()), m_time.clock());
        log.AppendLog(QStringLiteral("a"));
        QVERIFY(log.SaveLogFile());
        log.AppendLog(QStringLiteral("b"));
        QVERIFY(log.SaveLogFile());
        const QByteArray first("\r\na   [2026/01/02 3:04:05]\r\n");
        QCOMPARE(fileBytes(QStringLiteral("20260102030405.log")),
                 first + "\r\na   [2026/01/02 3:04:05]\r\nb   [2026/01/02 3:04:05]\r\n");
    }

    void reachingTheLimitSavesThenStartsAfresh_data()
    {
        QTest::addColumn<int>("logged");
        QTest::addColumn<int>("incoming");
        QTest::addColumn<bool>("saves");
        // A line of 100 takes CR LF + 100 + "   [" + 18 + "]" = 125 code units of the text.
        QTest::newRow("just below") << 257 << 32767 - 257 * 125 << false;
        QTest::newRow("at the limit") << 257 << 32768 - 257 * 125 << true;
        QTest::newRow("one huge message on an empty log") << 0 << 32768 << true;
    }

    void reachingTheLimitSavesThenStartsAfresh()
    {
        QFETCH(int, logged);
        QFETCH(int, incoming);
        QFETCH(bool, saves);
        LogText log(QDir(m_dir.path()), m_time.clock());
        for (int i = 0; i < logged; ++i)
            log.AppendLog(QString(100, u'x'));
        QCOMPARE(log.text().size(), logged * 125);
        const QString before = log.text();
        const QString message(incoming, u'm');
        log.AppendLog(message);
        QCOMPARE(logFiles().size(), saves ? 1 : 0);
        if (saves) {
            QCOMPARE(fileBytes(logFiles().first()), before.toLatin1() + "\r\n");
            QCOMPARE(log.text(), QStringLiteral("\r\n") + message + QStringLiteral("   [2026/01/02 3:04:05]"));
        } else {
            QVERIFY(log.text().startsWith(before));
        }
    }

    void failedSaveKeepsEveryLine()
    {
        const QString missing = QDir(m_dir.path()).filePath(QStringLiteral("gone"));
        LogText log{QDir(missing), m_time.clock()};
        for (int i = 0; i < 262; ++i)
            log.AppendLog(QString(100, u'x'));
        const QString before = log.text();
        log.AppendLog(QStringLiteral("last") + QString(96, u'.'));
        QVERIFY(log.text().startsWith(before));
        QVERIFY(log.text().contains(QStringLiteral("ログを保存できませんでした。")));
        QVERIFY(log.text().contains(QStringLiteral("20260102030405.log")));
        QVERIFY(log.text().endsWith(QStringLiteral(".   [2026/01/02 3:04:05]")));
        QString error;
        QVERIFY(!log.SaveLogFile(&error));
        QVERIFY(error.contains(QStringLiteral("gone")));
    }

    void clearEmptiesTextAndView()
    {
        LogText log(QDir(m_dir.path()), m_time.clock());
        QSignalSpy cleared(&log, &LogText::cleared);
        log.AppendLog(QStringLiteral("a"));
        log.clear();
        QVERIFY(log.text().isEmpty());
        QCOMPARE(cleared.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestLogText)
#include "tst_logtext.moc"
