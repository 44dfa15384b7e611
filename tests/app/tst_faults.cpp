#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "Tmpfs.h"
#include "WriteFile.h"
#include "io/Cp932.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

namespace {

// A chat line that fills most of the log on its own, so that each one saves the log first.
QByteArray bigLine(char mark)
{
    return QByteArray(17000, mark);
}

} // namespace

// Faults met by the built program: full or read-only disks and odd settings files. Each run ends with its
// clear message and exit status, never with a signal, and leaves no corrupt or half-written file.
class TestFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readOnlyDirectoryAtShutdown()
    {
        ProgramOnTmpfs program;
        auto& [disk, kova, client, startError] = program;
        QVERIFY2(program.start(), qPrintable(startError));
        client->write("NAME:Ken");
        QVERIFY(readUntil(*client, "Ken+").endsWith("Ken+"));
        QVERIFY(disk.setReadOnly(true));
        QCOMPARE(kova.terminate(), 1);
        const QString error = kova.standardError();
        QVERIFY2(error.contains(u"ログファイルを保存できません"_s), qPrintable(error));
        QVERIFY2(error.contains(u"設定ファイルを書けません"_s), qPrintable(error));
        QVERIFY(kova.files().isEmpty());
        QVERIFY(waitForEnd(*client));
    }

    void logFillingWhileItCannotBeWrittenLosesNothing()
    {
        ProgramOnTmpfs program;
        auto& [disk, kova, client, startError] = program;
        QVERIFY2(program.start(), qPrintable(startError));
        QVERIFY(disk.setReadOnly(true));
        for (char mark : {'a', 'b', 'c'}) {
            client->write(bigLine(mark));
            // The server goes on relaying while its log cannot be saved.
            QVERIFY(readUntil(*client, bigLine(mark)).contains(bigLine(mark)));
        }
        QVERIFY(disk.setReadOnly(false));
        QCOMPARE(kova.terminate(), 0);
        QCOMPARE(kova.logFiles().size(), 1);
        const QByteArray log = kova.file(kova.logFiles().first());
        for (char mark : {'a', 'b', 'c'})
            QVERIFY(log.contains(bigLine(mark)));
        QVERIFY(cp932::decode(log).contains(u"ログを保存できませんでした。"_s));
    }

    // On a full disk a save is tried once per limit's worth of new text, not for every line, and once there is room
    // again everything held is saved.
    void fullDiskFailsOncePerLimitsWorthAndLosesNothing()
    {
        ProgramOnTmpfs program;
        auto& [disk, kova, client, startError] = program;
        QVERIFY2(program.start(), qPrintable(startError));
        QVERIFY(disk.fill());
        // 200 lines of 1,000 bytes: a save is due about every 31 of them.
        for (int i = 0; i < 200; ++i) {
            const QByteArray line = QByteArray::number(i).rightJustified(4, '0') + QByteArray(996, '.');
            client->write(line);
            QVERIFY(readUntil(*client, line).endsWith(line));
        }
        QVERIFY(QFile::remove(QDir(disk.path()).filePath(u"filler"_s)));
        QCOMPARE(kova.terminate(), 0);
        QCOMPARE(kova.logFiles().size(), 1);
        const QString log = cp932::decode(kova.file(kova.logFiles().first()));
        const qsizetype failures = log.count(u"ログを保存できませんでした。"_s);
        QVERIFY2(failures >= 5 && failures <= 7, qPrintable(QString::number(failures)));
        QCOMPARE(log.count(u"ログを保存できませんでした。ディスクの空きが残りわずかです"_s), failures);
        qsizetype at = 0;
        for (int i = 0; i < 200 && at >= 0; ++i)
            at = log.indexOf(u" > "_s + QString::number(i).rightJustified(4, u'0') + QString(996, u'.'), at);
        QVERIFY(at > 0);
    }

    void diskFillingUpLeavesNoHalfFile()
    {
        ProgramOnTmpfs program(u"size=64k"_s);
        auto& [disk, kova, client, startError] = program;
        const QByteArray settings("\r\nBoss\r\nMID\r\n\r\n\r\n");
        QVERIFY(writeFile(kova.path(u"KV.CFG"_s), settings));
        QVERIFY2(program.start(), qPrintable(startError));
        // A log of about 30 KB, then a disk with less than that left.
        client->write(QByteArray(15000, 'x'));
        QVERIFY(readUntil(*client, QByteArray(15000, 'x')).contains(QByteArray(15000, 'x')));
        client->write(QByteArray(15000, 'y'));
        QVERIFY(readUntil(*client, QByteArray(15000, 'y')).contains(QByteArray(15000, 'y')));
        QVERIFY(writeFile(QDir(disk.path()).filePath(u"filler"_s), QByteArray(40 * 1024, 'f')));

        QCOMPARE(kova.terminate(), 1);
        const QString error = kova.standardError();
        QVERIFY2(error.contains(u"ログファイルを保存できません"_s) && error.contains(u"No space left on device"_s),
                 qPrintable(error));
        QCOMPARE(kova.files(), QStringList({u"filler"_s, u"KV.CFG"_s}));
        QCOMPARE(kova.file(u"KV.CFG"_s), settings);
    }

    void oddSettingsFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("slot0");   // how the roster names the operator
        QTest::addColumn<QByteArray>("written"); // the file after shutdown
        const QByteArray longLine(100 * 1024, 'n');
        QTest::newRow("empty") << QByteArray() << QByteArray("NAME:0:+") << QByteArray("\r\n\r\nSML\r\n\r\n\r\n");
        // Control characters, a NUL inside the nickname, a lone lead byte where the font size belongs.
        QTest::newRow("binary garbage") << QByteArray("\x01\x02\r\nA\0"
                                                      "B\r\n\x81",
                                                      11)
                                        << QByteArray("NAME:0:A\0"
                                                      "B+",
                                                      11)
                                        << QByteArray("\x01\x02\r\nA\0"
                                                      "B\r\nSML\r\n\r\n\r\n",
                                                      18);
        QTest::newRow("lines of 100 KiB")
            << longLine + "\r\n" + longLine + "\r\n" + longLine + "\r\n"
            << "NAME:0:" + longLine + "+" << longLine + "\r\n" + longLine + "\r\nSML\r\n\r\n\r\n";
    }

    void oddSettingsFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, slot0);
        QFETCH(QByteArray, written);
        KovaProcess kova;
        QVERIFY(writeFile(kova.path(u"KV.CFG"_s), content));
        QVERIFY(kova.start());
        auto client = kova.connectClient();
        QVERIFY(client);
        client->write("NAME:Ken");
        const QByteArray roster = slot0 + "NAME:1:Ken+";
        QCOMPARE(readUntil(*client, roster, 10000), roster);
        QCOMPARE(kova.terminate(), 0);
        QCOMPARE(kova.file(u"KV.CFG"_s), written);
    }

    void settingsFileIsADirectory()
    {
        KovaProcess kova;
        QVERIFY(QDir(kova.directory).mkdir(u"KV.CFG"_s));
        QVERIFY(kova.start());
        auto client = kova.connectClient();
        QVERIFY(client);
        client->write("NAME:Ken");
        QCOMPARE(readUntil(*client, "NAME:0:サーバ+NAME:1:Ken+"_ba), cp932::encode(u"NAME:0:サーバ+NAME:1:Ken+"_s));
        QCOMPARE(kova.terminate(), 1);
        QVERIFY(kova.standardError().contains(u"KV.CFG"_s));
        QCOMPARE(kova.logFiles().size(), 1);
        QVERIFY(QFileInfo(kova.path(u"KV.CFG"_s)).isDir());
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestFaults, true)

#include "tst_faults.moc"
