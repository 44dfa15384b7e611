#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "io/Cp932.h"
#include "relay/RelayTables.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

// The built program, started in a network namespace of its own, serving real clients on port 557.
class TestKovaBinary : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void firstRunServesAndShutsDownOnSigterm()
    {
        KovaProcess kova;
        QVERIFY(kova.start());
        auto taro = kova.connectClient();
        QVERIFY2(taro, "kova did not accept on port 557");
        auto jiro = kova.connectClient();
        QVERIFY(jiro);

        taro->write(cp932::encode(u"NAME:太郎"_s));
        const QByteArray roster = cp932::encode(u"NAME:0:サーバ+NAME:1:太郎+NAME:2:+"_s);
        QCOMPARE(readUntil(*taro, roster), roster);
        QCOMPARE(readUntil(*jiro, roster), roster);
        jiro->write(cp932::encode(u"やあ"_s));
        const QByteArray line = cp932::encode(u" > やあ"_s);
        QCOMPARE(readUntil(*jiro, line), line);
        QCOMPARE(readUntil(*taro, line), line);

        QCOMPARE(kova.terminate(), 0);
        QVERIFY(waitForEnd(*taro));
        QVERIFY(waitForEnd(*jiro));
        QCOMPARE(kova.file(u"KV.CFG"_s), QByteArray::fromHex("0d0a0d0a534d4c0d0a0d0a0d0a"));
        QCOMPARE(kova.logFiles().size(), 1);
        const QString log = cp932::decode(kova.file(kova.logFiles().first()));
        QVERIFY(log.startsWith(u"\r\nサーバとして待ち受けます。   ["_s));
        QVERIFY(log.contains(u"\r\n太郎さんが来ました。   ["_s));
        QVERIFY(log.contains(u"\r\n > やあ   ["_s));
        QVERIFY(log.endsWith(u"]\r\n"_s));
    }

    void savedSettingsAreAppliedAndWrittenBack()
    {
        KovaProcess kova;
        const QByteArray cfg = cp932::encode(u"keep, this\r\n親分\r\nMID\r\nTRUE\r\ntrue\r\n"_s);
        QFile file(kova.path(u"KV.CFG"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(cfg) == cfg.size());
        file.close();
        QVERIFY(kova.start());
        auto client = kova.connectClient();
        QVERIFY(client);
        client->write("NAME:Ken");
        const QByteArray roster = cp932::encode(u"NAME:0:親分+NAME:1:Ken+"_s);
        QCOMPARE(readUntil(*client, roster), roster);
        QCOMPARE(kova.terminate(), 0);
        QCOMPARE(kova.file(u"KV.CFG"_s), cfg);
        // The join sound is on, and there is no "recv.wav" to play.
        QVERIFY(cp932::decode(kova.file(kova.logFiles().value(0))).contains(u"音を鳴らせませんでした。"_s));
    }

    void secondInstanceEndsAtOnceTouchingNothing()
    {
        KovaProcess first;
        QVERIFY(first.start());
        auto client = first.connectClient();
        QVERIFY(client);
        KovaProcess second({}, first.runtimeDirectory);
        QVERIFY(second.start());
        QVERIFY(second.process.waitForFinished(5000));
        QCOMPARE(second.process.exitCode(), 0);
        QVERIFY(second.files().isEmpty());
        client->write("NAME:Still");
        QVERIFY(readUntil(*client, "Still+").endsWith("NAME:1:Still+"));
        QCOMPARE(first.terminate(), 0);
    }

    void portAlreadyTakenFailsClearly()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, ServerPort));
        KovaProcess kova;
        QVERIFY(kova.start());
        QVERIFY(kova.process.waitForFinished(5000));
        QCOMPARE(kova.process.exitStatus(), QProcess::NormalExit);
        QVERIFY(kova.process.exitCode() != 0);
        const QString error = kova.standardError();
        QVERIFY2(error.contains(u"557"_s), qPrintable(error));
        QVERIFY(kova.files().isEmpty());
    }

    void unwritableSettingsStillSaveTheLog()
    {
        KovaProcess kova;
        QVERIFY(kova.start());
        auto client = kova.connectClient();
        QVERIFY(client);
        // A directory where the settings file belongs cannot be replaced by it.
        QVERIFY(QDir(kova.directory).mkdir(u"KV.CFG"_s));
        QCOMPARE(kova.terminate(), 1);
        QCOMPARE(kova.logFiles().size(), 1);
        QVERIFY(QFileInfo(kova.path(u"KV.CFG"_s)).isDir());
        QVERIFY(waitForEnd(*client));
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestKovaBinary, false)

#include "tst_kova_binary.moc"
