#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "RunCommand.h"
#include "io/Cp932.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

namespace {

const QString Nobody = u"65534"_s;

QString socketIn(const QString& runtimeDirectory)
{
    return QDir(runtimeDirectory).filePath(u"kova.socket"_s);
}

} // namespace

// The operator's command line against the built program, each test in network and mount namespaces of its own:
// clients come from addresses of their own on loopback, and /run is a scratch file system, where the service's
// runtime directory is.
class TestOperator : public QObject {
    Q_OBJECT

    std::unique_ptr<KovaProcess> kova;
    std::unique_ptr<QTcpSocket> taro;

    // The service without a display, with Taro in slot 1 from 127.0.0.2; false once a check of it failed.
    bool startHeadless(const QString& runtimeDirectory = {})
    {
        kova = std::make_unique<KovaProcess>(QString(), runtimeDirectory);
        kova->withoutDisplay();
        [&] {
            QVERIFY2(kova->startListening(), qPrintable(kova->standardError()));
            taro = registered("127.0.0.2", "Taro", "NAME:1:Taro+");
            QVERIFY(taro);
        }();
        return !QTest::currentTestFailed();
    }

    CommandResult command(const QStringList& arguments, const QString& user = {})
    {
        return runKova(arguments, kova ? kova->runtimeDirectory : QString(), user);
    }

    std::unique_ptr<QTcpSocket> registered(const char* address, const QByteArray& name, const QByteArray& roster)
    {
        auto client = kova->connectClient(QHostAddress(QString::fromLatin1(address)));
        if (!client)
            return nullptr;
        client->write("NAME:" + name);
        return readUntil(*client, roster).contains(roster) ? std::move(client) : nullptr;
    }

    QString log() const { return cp932::decode(kova->file(kova->logFiles().value(0))); }

private Q_SLOTS:
    void init()
    {
        QVERIFY(run(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=1m,mode=0755"_s, u"tmpfs"_s, u"/run"_s}));
        QVERIFY(QDir().mkdir(u"/run/kova"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    void cleanup()
    {
        taro.reset();
        if (kova)
            QCOMPARE(kova->terminate(), 0);
        kova.reset();
        QVERIFY(run(u"umount"_s, {u"/run"_s}));
    }

    void statusOfNoInstance()
    {
        QTemporaryDir empty;
        const CommandResult result = runKova({u"--status"_s}, empty.path());
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.error.contains(u"動いているサーバがありません"_s), qPrintable(result.error));
        QVERIFY(result.output.isEmpty());
        // Asking made nothing where a server would run.
        QVERIFY(QDir(empty.path()).isEmpty());
    }

    void statusOfAnInstanceThatDoesNotAnswer()
    {
        QTemporaryDir runtime;
        QLocalServer mute;
        QVERIFY(mute.listen(socketIn(runtime.path())));
        const CommandResult result = runKova({u"--status"_s}, runtime.path());
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.error.contains(u"2 秒以内に答えません"_s), qPrintable(result.error));
    }

    void statusDisturbsNobody()
    {
        QVERIFY(startHeadless());
        const QString logBefore = kova->logFiles().isEmpty() ? QString() : log();

        const CommandResult result = command({u"--status"_s});
        QCOMPARE(result.exitCode, 0);
        static const QRegularExpression line(
            u"^127\\.0\\.0\\.1:557 で待ち受け中、接続 1/9、起動から 00:00:\\d\\d\\n$"_s);
        QVERIFY2(line.match(result.output).hasMatch(), qPrintable(result.output));
        QVERIFY(result.error.isEmpty());
        // Nothing reached the client; the chat goes on.
        QVERIFY(!taro->waitForReadyRead(200));
        taro->write("hello");
        QCOMPARE(readUntil(*taro, "Taro > hello"), QByteArray("Taro > hello"));
    }

    // The same for the user's server with a window (offscreen here).
    void desktopInstanceAnswersToo()
    {
        kova = std::make_unique<KovaProcess>();
        QVERIFY(kova->startListening());
        taro = registered("127.0.0.2", "Taro", "NAME:1:Taro+");
        QVERIFY(taro);
        QCOMPARE(command({u"--status"_s}).exitCode, 0);
        const CommandResult result = command({u"--kick"_s, u"1"_s});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(waitForEnd(*taro));
    }

    void kickAndBanFromTheCommandLine()
    {
        QVERIFY(startHeadless());
        auto hanako = registered("127.0.0.3", "Hanako", "NAME:2:Hanako+");
        auto jiro = registered("127.0.0.4", "Jiro", "NAME:3:Jiro+");
        QVERIFY(taro && hanako && jiro);
        readUntil(*hanako, "NAME:3:Jiro+");

        CommandResult result = command({u"--list"_s});
        QCOMPARE(result.exitCode, 0);
        static const QRegularExpression rows(u"^枠\tニックネーム\tアドレス\t接続時刻\n"
                                             "1\tTaro\t127\\.0\\.0\\.2\t\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n"
                                             "2\tHanako\t127\\.0\\.0\\.3\t[-0-9: ]{19}\n"
                                             "3\tJiro\t127\\.0\\.0\\.4\t[-0-9: ]{19}\n$"_s);
        QVERIFY2(rows.match(result.output).hasMatch(), qPrintable(result.output));

        result = command({u"--kick"_s, u"1"_s});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.output, u"枠 1 の Taro（127.0.0.2）を切断しました。\n"_s);
        QVERIFY(waitForEnd(*taro));
        QCOMPARE(readUntil(*hanako, "RNAME:1:"), QByteArray("RNAME:1:"));

        result = command({u"--ban=2"_s});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(waitForEnd(*hanako));
        QCOMPARE(readUntil(*jiro, "RNAME:2:"), QByteArray("RNAME:1:RNAME:2:"));

        // The banned address is refused before it takes a slot; the others come in as before.
        auto again = kova->connectClient(QHostAddress(u"127.0.0.3"_s));
        QVERIFY(again);
        QVERIFY(waitForEnd(*again));
        taro = registered("127.0.0.2", "Taro", "NAME:1:Taro+");
        QVERIFY(taro);
        result = command({u"--list"_s});
        QVERIFY2(result.output.endsWith(u"\n締め出し中: 127.0.0.3\n"_s), qPrintable(result.output));
        QVERIFY(!result.output.contains(u"\n2\t"_s));

        QCOMPARE(command({u"--unban"_s, u"127.0.0.3"_s}).exitCode, 0);
        QVERIFY(registered("127.0.0.3", "Hanako", "NAME:2:Hanako+"));

        QCOMPARE(kova->terminate(), 0);
        const QString text = log();
        QVERIFY(text.contains(u"\r\nTaroさんを切断しました。   ["_s));
        QVERIFY(text.contains(u"\r\nHanako（127.0.0.3）を締め出しました。   ["_s));
        QVERIFY(text.contains(u"\r\n127.0.0.3 の締め出しを解きました。   ["_s));
        QCOMPARE(text.count(u"Hanakoさんが来ました。"_s), 2);
        kova.reset();
    }

    void refusedCommandsSayWhy_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("slot 0") << QStringList{u"--kick"_s, u"0"_s} << 1 << u"枠 0 はサーバ自身です"_s;
        QTest::newRow("free slot") << QStringList{u"--ban"_s, u"2"_s} << 1 << u"枠 2 には誰も接続していません"_s;
        QTest::newRow("beyond 9") << QStringList{u"--kick"_s, u"10"_s} << 1 << u"枠は 1 から 9 の数です: 10"_s;
        QTest::newRow("no number") << QStringList{u"--kick=+1"_s} << 1 << u"枠は 1 から 9 の数です: +1"_s;
        QTest::newRow("no address") << QStringList{u"--unban"_s, u"127.0.0.x"_s} << 1 << u"アドレスではありません"_s;
        QTest::newRow("not banned") << QStringList{u"--unban"_s, u"::1"_s} << 1 << u"::1 は締め出されていません"_s;
        QTest::newRow("no value") << QStringList{u"--kick"_s} << 2 << u"使い方"_s;
        QTest::newRow("two at once") << QStringList{u"--list"_s, u"--status"_s} << 2 << u"使い方"_s;
    }

    void refusedCommandsSayWhy()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QVERIFY(startHeadless());
        const CommandResult result = command(arguments);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.error.contains(message), qPrintable(result.error));
        QVERIFY(result.output.isEmpty());
        // Nobody was disconnected.
        taro->write("still");
        QCOMPARE(readUntil(*taro, "Taro > still"), QByteArray("Taro > still"));
    }

    // The packaged service keeps its socket in /run/kova, which only root reaches: sudo kova --list.
    void rootReachesTheService()
    {
        QVERIFY(startHeadless(u"/run/kova"_s));
        QTemporaryDir ownRuntime;
        CommandResult result = runKova({u"--list"_s}, ownRuntime.path());
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.output.contains(u"\n1\tTaro\t127.0.0.2\t"_s), qPrintable(result.output));

        QVERIFY(QFile::setPermissions(ownRuntime.path(), QFile::permissions(ownRuntime.path()) | QFile::ExeOther));
        result = runKova({u"--list"_s}, ownRuntime.path(), Nobody);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.error.contains(u"sudo"_s), qPrintable(result.error));
    }

    // Only the user that runs the program, and root, can use its socket: by its permissions, and where those were
    // opened, by the peer's credentials.
    void nobodyElseMayCommand()
    {
        QTemporaryDir runtime;
        QVERIFY(startHeadless(runtime.path()));
        const QString socket = socketIn(runtime.path());
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(socket).constData(), &status), 0);
        QVERIFY(S_ISSOCK(status.st_mode));
        QCOMPARE(status.st_mode & 0777, mode_t(0700));
        QCOMPARE(status.st_uid, ::geteuid());

        QVERIFY(::chmod(QFile::encodeName(runtime.path()).constData(), 0755) == 0);
        CommandResult result = command({u"--kick"_s, u"1"_s}, Nobody);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.error.contains(u"権限がありません"_s), qPrintable(result.error));

        QVERIFY(::chmod(QFile::encodeName(socket).constData(), 0777) == 0);
        result = command({u"--kick"_s, u"1"_s}, Nobody);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.error.contains(u"答えずに接続を切りました"_s), qPrintable(result.error));

        taro->write("still");
        QCOMPARE(readUntil(*taro, "Taro > still"), QByteArray("Taro > still"));
        QCOMPARE(command({u"--status"_s}).exitCode, 0);
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestOperator, true)
#include "tst_operator.moc"
