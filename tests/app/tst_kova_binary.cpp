#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "RunCommand.h"
#include "VirtualDisplay.h"
#include "WriteFile.h"
#include "io/Cp932.h"
#include "relay/RelayTables.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/capability.h>
#include <sys/prctl.h>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

namespace {

const QByteArray KeptSettings("keep\r\nBoss\r\nBIG\r\nTRUE\r\nFALSE\r\n");

// On the given X display instead of offscreen, so that a failure waits in its box.
void onDisplay(KovaProcess& kova, const VirtualDisplay& display)
{
    QProcessEnvironment env = kova.process.processEnvironment();
    env.remove(u"QT_QPA_PLATFORM"_s);
    env.insert(u"DISPLAY"_s, display.name());
    kova.process.setProcessEnvironment(env);
}

// A request from a second start, sent by hand; returns the running program's answer.
QByteArray askToShow(const KovaProcess& running)
{
    QLocalSocket socket;
    socket.connectToServer(QDir(running.runtimeDirectory).filePath(u"kova.socket"_s));
    if (!socket.waitForConnected(5000))
        return "<no connection>";
    socket.write("show\n");
    const QDeadlineTimer deadline(5000);
    while (!socket.canReadLine() && !deadline.hasExpired() && socket.state() == QLocalSocket::ConnectedState)
        socket.waitForReadyRead(100);
    return socket.readAll();
}

// Standard output as a named pipe whose reading end the test holds, and reads only when it likes.
class OutputPipe {
public:
    explicit OutputPipe(KovaProcess& kova)
    {
        const QString path = m_directory.filePath(u"stdout"_s);
        if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
            return;
        m_reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // What a pipe holds unless told otherwise.
        if (m_reader >= 0 && ::fcntl(m_reader, F_SETPIPE_SZ, 65536) < 0)
            closeReader();
        kova.process.setStandardOutputFile(path);
    }
    ~OutputPipe() { closeReader(); }
    OutputPipe(const OutputPipe&) = delete;
    OutputPipe& operator=(const OutputPipe&) = delete;

    bool ok() const { return m_reader >= 0; }
    void closeReader()
    {
        if (m_reader >= 0)
            ::close(m_reader);
        m_reader = -1;
    }
    // Reads until the expected bytes have come, or to the end once the writer has gone; returns all read so far.
    QByteArray readUntil(const QByteArray& expected, int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while ((expected.isEmpty() || !m_data.contains(expected)) && !deadline.hasExpired()) {
            pollfd readable{m_reader, POLLIN, 0};
            if (::poll(&readable, 1, 50) <= 0)
                continue;
            char buffer[65536];
            const ssize_t got = ::read(m_reader, buffer, sizeof buffer);
            if (got == 0)
                break;
            if (got > 0)
                m_data.append(buffer, got);
        }
        return m_data;
    }

private:
    QTemporaryDir m_directory;
    int m_reader = -1;
    QByteArray m_data;
};

// Reads until count marks have come, or the deadline; returns how many came.
qsizetype readMarks(QTcpSocket& socket, char mark, qsizetype count, const QDeadlineTimer& deadline)
{
    qsizetype got = 0;
    while (got < count && !deadline.hasExpired()) {
        socket.waitForReadyRead(50);
        got += socket.readAll().count(mark);
    }
    return got;
}

// Every line of the program's log files, in order.
QStringList logLines(const KovaProcess& kova)
{
    QString text;
    for (const QString& name : kova.logFiles())
        text += cp932::decode(kova.file(name));
    return text.split(u"\r\n"_s, Qt::SkipEmptyParts);
}

} // namespace

// The built program, started in a network namespace of its own, serving real clients on port 557.
class TestKovaBinary : public QObject {
    Q_OBJECT

    std::unique_ptr<QTcpSocket> taro;
    std::unique_ptr<QTcpSocket> jiro;

    // Two clients, taro registered as 太郎; both have had the roster that names the operator. False once a check of
    // it failed.
    bool connectTwoClients(KovaProcess& kova, const QString& operatorName)
    {
        [&] {
            taro = kova.connectClient();
            QVERIFY2(taro, qPrintable(u"kova did not accept on port 557: "_s + kova.standardError()));
            jiro = kova.connectClient();
            QVERIFY(jiro);
            taro->write(cp932::encode(u"NAME:太郎"_s));
            const QByteArray roster = cp932::encode(u"NAME:0:%1+NAME:1:太郎+NAME:2:+"_s.arg(operatorName));
            QCOMPARE(readUntil(*taro, roster), roster);
            QCOMPARE(readUntil(*jiro, roster), roster);
        }();
        return !QTest::currentTestFailed();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(VirtualDisplay::useOwnFolders(&error), qPrintable(error));
    }

    void cleanup()
    {
        taro.reset();
        jiro.reset();
    }

    void firstRunServesAndShutsDownOnSigterm()
    {
        KovaProcess kova;
        QVERIFY(kova.start());
        QVERIFY(connectTwoClients(kova, u"サーバ"_s));
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
        QVERIFY(writeFile(kova.path(u"KV.CFG"_s), cfg));
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

    void secondInstanceEndsAtOnceTouchingNothing_data()
    {
        QTest::addColumn<bool>("window");
        QTest::newRow("offscreen") << true;
        QTest::newRow("without a display") << false;
    }

    // A second start asks the running one to show its window, if it has one, and ends at once.
    void secondInstanceEndsAtOnceTouchingNothing()
    {
        QFETCH(bool, window);
        KovaProcess first;
        if (!window)
            first.withoutDisplay();
        QVERIFY(first.start());
        auto client = first.connectClient();
        QVERIFY(client);
        QCOMPARE(askToShow(first), window ? QByteArray("shown\n") : QByteArray("no window\n"));
        KovaProcess second({}, first.runtimeDirectory);
        if (!window)
            second.withoutDisplay();
        QVERIFY(second.start());
        QVERIFY(second.process.waitForFinished(5000));
        QCOMPARE(second.process.exitCode(), 0);
        QVERIFY(second.files().isEmpty());
        client->write("NAME:Still");
        QVERIFY(readUntil(*client, "Still+").endsWith("NAME:1:Still+"));
        QCOMPARE(first.terminate(), 0);
    }

    void failedStartTouchesNothing_data()
    {
        QTest::addColumn<QString>("screen");
        QTest::addColumn<bool>("unreadable"); // the settings file; else the port is taken
        QTest::newRow("port taken, offscreen") << u"offscreen"_s << false;
        QTest::newRow("port taken, without a display") << QString() << false;
        // The failure waits in a box; a termination signal then ends the program at once.
        QTest::newRow("port taken, desktop") << u"desktop"_s << false;
        // The box says so, and meanwhile nobody is served, since nothing that happened could be saved.
        QTest::newRow("unreadable settings, desktop") << u"desktop"_s << true;
    }

    // A start that failed must not overwrite the settings the user has, nor leave a log.
    void failedStartTouchesNothing()
    {
        QFETCH(QString, screen);
        QFETCH(bool, unreadable);
        QTcpServer squatter;
        QVERIFY(unreadable || squatter.listen(QHostAddress::Any, ServerPort));
        std::optional<VirtualDisplay> display;
        KovaProcess kova;
        if (screen.isEmpty())
            kova.withoutDisplay();
        if (screen == u"desktop"_s) {
            display.emplace();
            QVERIFY2(display->error().isEmpty(), qPrintable(display->error()));
            onDisplay(kova, *display);
        }
        QVERIFY(writeFile(kova.path(u"KV.CFG"_s), KeptSettings));
        if (unreadable) {
            QVERIFY(QFile::setPermissions(kova.path(u"KV.CFG"_s), {}));
            // Root reads any file; without these capabilities it is held to the file's mode like anybody else.
            kova.process.setChildProcessModifier([] {
                for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
                    ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
            });
        }
        QVERIFY(kova.start());
        if (display) {
            QVERIFY2(QTest::qWaitFor([&] { return display->showsWindow(u"KOVA"_s); }, 20000),
                     qPrintable(kova.standardError()));
            if (unreadable) {
                QTcpSocket client;
                client.connectToHost(QHostAddress::LocalHost, ServerPort);
                QVERIFY(QTest::qWaitFor([&] { return client.state() == QAbstractSocket::UnconnectedState; }, 5000));
                QCOMPARE(client.error(), QAbstractSocket::ConnectionRefusedError);
            }
            QVERIFY(kova.process.state() == QProcess::Running);
            QCOMPARE(kova.terminate(), 1);
        } else {
            QVERIFY(kova.process.waitForFinished(5000));
            QCOMPARE(kova.process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(kova.process.exitCode(), 1);
        }
        const QString error = kova.standardError();
        QVERIFY2(error.contains(unreadable ? u"設定ファイルを読めません"_s : u"TCPポート557で待ち受けできません"_s),
                 qPrintable(error));
        QCOMPARE(kova.files(), QStringList{u"KV.CFG"_s});
        QCOMPARE(kova.file(u"KV.CFG"_s), KeptSettings);
    }

    // No display: the same server, with every log line on standard output as well, and the address that a
    // window's caption would show said once on standard error.
    void servesWithoutDisplay()
    {
        // An address on a network beside loopback, as a machine in an office has.
        QString error;
        QVERIFY2(run(u"ip"_s, {u"link"_s, u"add"_s, u"lan0"_s, u"type"_s, u"veth"_s, u"peer"_s, u"name"_s, u"lan1"_s},
                     &error),
                 qPrintable(error));
        const auto removeLink = qScopeGuard([] { run(u"ip"_s, {u"link"_s, u"del"_s, u"lan0"_s}); });
        QVERIFY2(run(u"ip"_s, {u"addr"_s, u"add"_s, u"192.0.2.7/24"_s, u"dev"_s, u"lan0"_s}, &error),
                 qPrintable(error));
        QVERIFY2(run(u"ip"_s, {u"link"_s, u"set"_s, u"lan0"_s, u"up"_s}, &error), qPrintable(error));
        KovaProcess kova;
        kova.withoutDisplay();
        QVERIFY(writeFile(kova.path(u"KV.CFG"_s), KeptSettings));
        QVERIFY(kova.start());
        QVERIFY(connectTwoClients(kova, u"Boss"_s));
        // An escape sequence from a client reaches the clients, but no terminal obeys it.
        jiro->write("hi\x1b[2J");
        QCOMPARE(readUntil(*jiro, " > hi\x1b[2J"), QByteArray(" > hi\x1b[2J"));
        QCOMPARE(readUntil(*taro, " > hi\x1b[2J"), QByteArray(" > hi\x1b[2J"));

        QCOMPARE(kova.terminate(), 0);
        QVERIFY(waitForEnd(*taro));
        QVERIFY(waitForEnd(*jiro));
        QCOMPARE(kova.file(u"KV.CFG"_s), KeptSettings);
        QCOMPARE(kova.logFiles().size(), 1);
        const QString log = cp932::decode(kova.file(kova.logFiles().first()));
        const QString output = QString::fromUtf8(kova.process.readAllStandardOutput());
        // Each line of the log file, and only those, in the same order.
        QString expected = log.chopped(2).sliced(2).replace(u"\r\n"_s, u"\n"_s) + u'\n';
        expected.replace(u"\x1b"_s, u"^["_s);
        QCOMPARE(output, expected);
        QVERIFY(output.startsWith(u"サーバとして待ち受けます。   ["_s));
        QVERIFY(output.contains(u"\n太郎さんが来ました。   ["_s));
        // The join sound is on, and there is no "recv.wav" to play.
        QVERIFY(output.contains(u"\n音を鳴らせませんでした。   ["_s));
        QVERIFY(output.contains(u"\n > hi^[[2J   ["_s));
        QCOMPARE(kova.standardError().count(u"ウィンドウなし"_s), 1);
        QVERIFY2(kova.standardError().contains(u"待ち受けアドレス: 192.0.2.7:557\n"_s),
                 qPrintable(kova.standardError()));
    }

    // Standard output that nobody reads never holds up the chat: what it cannot take waits, 1 MiB at most, and
    // what had to be dropped is counted in a line of its own once it is read again.
    void unreadStandardOutputHoldsNothingUp()
    {
        KovaProcess kova;
        kova.withoutDisplay();
        OutputPipe output(kova);
        QVERIFY(output.ok());
        QVERIFY(kova.start());
        QVERIFY(connectTwoClients(kova, u"サーバ"_s));
        // The description shared with whoever started it is left blocking.
        QFile fdinfo(u"/proc/%1/fdinfo/1"_s.arg(kova.pid()));
        QVERIFY(fdinfo.open(QIODevice::ReadOnly));
        const QByteArray flags = fdinfo.readAll().split('\n').at(1);
        QVERIFY2(flags.startsWith("flags:") && (flags.mid(6).trimmed().toInt(nullptr, 8) & O_NONBLOCK) == 0,
                 flags.constData());

        // Seven clients send 1.4 MB within their budgets: far more than the pipe and the waiting lines hold.
        const qsizetype each = 200 * 1024;
        std::vector<std::unique_ptr<QTcpSocket>> flooders;
        for (int i = 0; i < 7; ++i) {
            flooders.push_back(kova.connectClient());
            QVERIFY(flooders.back());
            flooders.back()->write(QByteArray(each, 'x'));
        }
        const QDeadlineTimer deadline(20000);
        for (const auto& flooder : flooders) {
            while (flooder->bytesToWrite() > 0 && !deadline.hasExpired())
                flooder->waitForBytesWritten(50);
        }
        QCOMPARE(readMarks(*taro, 'x', 7 * each, deadline), 7 * each);
        taro->write("ping");
        const QByteArray ping = cp932::encode(u"太郎 > ping"_s);
        QVERIFY(readUntil(*taro, ping, 10000).contains(ping));

        output.readUntil(u"\n太郎 > ping   ["_s.toUtf8());
        QCOMPARE(kova.terminate(), 0);
        const QByteArray mirrored = output.readUntil({});
        QVERIFY(mirrored.endsWith('\n'));
        // Whole lines of the log in order, each gap stated with the number of lines left out.
        const QStringList lines = logLines(kova);
        const QRegularExpression note(
            u"^\\(標準出力が読まれなかったので、ここで (\\d+) 行を省きました。ログファイルには残ります\\)$"_s);
        qsizetype next = 0;
        int notes = 0;
        for (const QString& line : QString::fromUtf8(mirrored.chopped(1)).split(u'\n')) {
            if (const QRegularExpressionMatch match = note.match(line); match.hasMatch()) {
                next += match.captured(1).toLongLong();
                ++notes;
                continue;
            }
            QVERIFY2(next < lines.size() && line == lines.at(next),
                     qPrintable(u"line %1 of the log: %2"_s.arg(next).arg(line.left(80))));
            ++next;
        }
        QCOMPARE(next, lines.size());
        QVERIFY(notes > 0);
    }

    // At the end, what standard output still cannot take is given up after a moment, and counted.
    void unreadStandardOutputDoesNotHoldUpTheEnd()
    {
        KovaProcess kova;
        kova.withoutDisplay();
        OutputPipe output(kova);
        QVERIFY(output.ok());
        QVERIFY(kova.start());
        auto flooder = kova.connectClient();
        QVERIFY(flooder);
        flooder->write(QByteArray(200 * 1024, 'x'));
        QCOMPARE(readMarks(*flooder, 'x', 200 * 1024, QDeadlineTimer(10000)), 200 * 1024);
        QCOMPARE(kova.terminate(), 0);
        QVERIFY2(kova.standardError().contains(u"行は出せませんでした。"_s), qPrintable(kova.standardError()));
        QVERIFY(!kova.logFiles().isEmpty());
    }

    void standardOutputThatCannotBeWritten_data()
    {
        QTest::addColumn<bool>("closedAtStart");
        QTest::newRow("its reader goes away") << false;
        QTest::newRow("closed from the start") << true;
    }

    // Standard output that cannot be written ends the mirror, said once, and nothing else; a closed one is not
    // taken by a file or socket opened later.
    void standardOutputThatCannotBeWritten()
    {
        QFETCH(bool, closedAtStart);
        KovaProcess kova;
        kova.withoutDisplay();
        OutputPipe output(kova);
        QVERIFY(output.ok());
        if (closedAtStart)
            kova.process.setChildProcessModifier([] { ::close(STDOUT_FILENO); });
        QVERIFY(kova.start());
        QVERIFY(connectTwoClients(kova, u"サーバ"_s));
        output.closeReader();
        for (const QByteArray& text : {QByteArray("first"), QByteArray("second")}) {
            jiro->write(text);
            QVERIFY(readUntil(*jiro, " > " + text).contains(" > " + text));
            QVERIFY(readUntil(*taro, " > " + text).contains(" > " + text));
        }
        if (closedAtStart)
            QCOMPARE(QFile::symLinkTarget(u"/proc/%1/fd/1"_s.arg(kova.pid())), u"/dev/null"_s);
        QCOMPARE(kova.terminate(), 0);
        QCOMPARE(kova.standardError().count(u"標準出力に書けないので、ログを出すのをやめます"_s), 1);
        QVERIFY(!logLines(kova).filter(u" > second   ["_s).isEmpty());
    }

    // The second start, against a stand-in for the running program that holds its lock and socket.
    void secondStartAsksTheRunningOneToShowItself()
    {
        QTemporaryDir runtime;
        QLockFile lock(QDir(runtime.path()).filePath(u"kova.lock"_s));
        QVERIFY(lock.tryLock(0));
        QLocalServer running;
        QVERIFY(running.listen(QDir(runtime.path()).filePath(u"kova.socket"_s)));
        KovaProcess second({}, runtime.path());
        QVERIFY(second.start());
        QVERIFY(running.waitForNewConnection(10000));
        QLocalSocket* request = running.nextPendingConnection();
        const QDeadlineTimer deadline(10000);
        while (!request->canReadLine() && !deadline.hasExpired())
            request->waitForReadyRead(100);
        QCOMPARE(request->readLine(), QByteArray("show\n"));
        request->write("shown\n");
        QVERIFY(second.process.waitForFinished(10000));
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);
        QVERIFY(second.files().isEmpty());
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

KOVA_NAMESPACED_TEST_MAIN(TestKovaBinary, true)

#include "tst_kova_binary.moc"
