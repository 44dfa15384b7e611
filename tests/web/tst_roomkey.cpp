#include "ChatBrowser.h"
#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "RawHttp.h"
#include "WebGatewayProcess.h"
#include "WriteFile.h"
#include "web/GuessingReport.h"
#include "web/RoomKey.h"

#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace kova;
using namespace kova::test;
using namespace kova::web;
using namespace Qt::StringLiterals;

namespace {

const QString Key = u"ひらけ、ごま 1234"_s;
constexpr qint64 Second = 1'000'000'000;

// An upgrade from the given loopback address offering the subprotocol: the close code that the gateway sends
// after its 101, 0 for none (the browser let in), -1 for no 101.
int closeCodeFrom(const QHostAddress& from, const QByteArray& protocol)
{
    QTcpSocket socket;
    QByteArray frames;
    if (!socket.bind(from) ||
        !rawHandshake(socket, "127.0.0.1:8557", {}, &frames, "Sec-WebSocket-Protocol: " + protocol + "\r\n")
             .startsWith("HTTP/1.1 101"))
        return -1;
    // The first frame after the head; a close frame's payload begins with its code.
    const QDeadlineTimer deadline(3000);
    while (frames.size() < 4 && !deadline.hasExpired() &&
           (socket.waitForReadyRead(200) || socket.state() == QAbstractSocket::ConnectedState))
        frames += socket.readAll();
    if (frames.size() >= 4 && (quint8(frames.at(0)) & 0x0f) == 0x8)
        return (quint8(frames.at(2)) << 8) | quint8(frames.at(3));
    return 0;
}

} // namespace

// The room key: read from its file, judged with an injected clock, and then in the gateway, each case in a network
// namespace of its own.
class TestRoomKey : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keyFileHoldsOneLongEnoughLine_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("error"); // empty: read
        QTest::newRow("line") << QByteArray("12345678") << QString();
        QTest::newRow("line and LF") << Key.toUtf8() + '\n' << QString();
        QTest::newRow("line and CR LF") << QByteArray("12345678\r\n") << QString();
        QTest::newRow("seven") << QByteArray("1234567\n") << u"is shorter than 8 characters"_s;
        QTest::newRow("seven of UTF-8") << u"ひらけごま１２\n"_s.toUtf8() << u"is shorter than 8 characters"_s;
        QTest::newRow("two lines") << QByteArray("12345678\nabcdefgh\n") << u"holds more than one line"_s;
        QTest::newRow("blank line after") << QByteArray("12345678\n\n") << u"holds more than one line"_s;
        QTest::newRow("4 KiB") << QByteArray(4096, 'k') << QString();
        QTest::newRow("over 4 KiB") << QByteArray(4097, 'k') << u"is longer than 4096 bytes"_s;
        QTest::newRow("not UTF-8") << QByteArray("12345678\xff") << u"is not UTF-8 text"_s;
    }

    void keyFileHoldsOneLongEnoughLine()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, error);
        QTemporaryDir directory;
        const QString path = directory.filePath(u"key"_s);
        QVERIFY(writeFile(path, contents));
        QString problem;
        const auto key = RoomKey::read(path, &problem);
        QCOMPARE(key.has_value(), error.isEmpty());
        if (key)
            QCOMPARE(key->toUtf8() + (contents.endsWith("\r\n") ? "\r\n"
                                      : contents.endsWith('\n') ? "\n"
                                                                : ""),
                     contents);
        else
            QVERIFY2(problem.startsWith(u"the room key"_s) && problem.contains(path) && problem.contains(error),
                     qPrintable(problem));
        QVERIFY(!RoomKey::read(directory.filePath(u"missing"_s), &problem));
        QVERIFY2(problem.startsWith(u"cannot read the room key file "_s), qPrintable(problem));
    }

    void onlyTheKeyItselfIsLetIn()
    {
        RoomKey key(Key);
        const QHostAddress address(u"192.0.2.7"_s);
        const QByteArray right = RoomKey::protocolFor(Key);
        QVERIFY(right.startsWith("kova-key."));
        QCOMPARE(key.check(address, right), RoomKey::Verdict::Admitted);
        const QByteArray wrongs[] = {QByteArray(),
                                     QByteArray("kova-key."),
                                     RoomKey::protocolFor(Key + u' '),
                                     RoomKey::protocolFor(Key.chopped(1)),
                                     right.chopped(1),
                                     right + "A",
                                     right.sliced(9),
                                     "kova-key.!" + right.sliced(10)};
        // One address each, so that none is locked out.
        int host = 10;
        for (const QByteArray& wrong : wrongs)
            QVERIFY2(key.check(QHostAddress(u"192.0.2.%1"_s.arg(host++)), wrong) == RoomKey::Verdict::Wrong, wrong);
    }

    // Five wrong keys within a minute, and the address is refused for a minute whatever it offers; others are not.
    void guessingLocksOutTheAddressForAMinute()
    {
        qint64 now = 1000 * Second;
        RoomKey key(Key, [&now] { return now; });
        const QHostAddress guesser(u"192.0.2.7"_s);
        const QHostAddress other(u"2001:db8::7"_s);
        const QByteArray right = RoomKey::protocolFor(Key);
        const QByteArray wrong = RoomKey::protocolFor(u"guess1234"_s);

        // Four wrong ones, and the first has left the window by the fifth.
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(key.check(guesser, wrong), RoomKey::Verdict::Wrong);
            now += 10 * Second;
        }
        now += 20 * Second;
        QCOMPARE(key.check(guesser, wrong), RoomKey::Verdict::Wrong);
        now += 1 * Second;
        QCOMPARE(key.check(guesser, wrong), RoomKey::Verdict::WrongLockingOut);
        QCOMPARE(key.check(guesser, right), RoomKey::Verdict::LockedOut);
        QCOMPARE(key.check(other, right), RoomKey::Verdict::Admitted);
        QCOMPARE(key.check(other, wrong), RoomKey::Verdict::Wrong);
        now += 60 * Second - 1;
        QCOMPARE(key.check(guesser, right), RoomKey::Verdict::LockedOut);
        now += 1;
        QCOMPARE(key.check(guesser, right), RoomKey::Verdict::Admitted);
        // It starts again from nothing.
        for (int i = 0; i < 4; ++i)
            QCOMPARE(key.check(guesser, wrong), RoomKey::Verdict::Wrong);
        QCOMPARE(key.check(guesser, wrong), RoomKey::Verdict::WrongLockingOut);
    }

    // One line per guessing address per minute: the first refusal at once, with its port; what follows, lockouts
    // and refusals while locked out included, added up in one line when the minute is over.
    void guessingIsLoggedOncePerAddressPerMinute()
    {
        qint64 now = 1000 * Second;
        const SteadyClock clock = [&now] { return now; };
        RoomKey key(Key, clock);
        QStringList lines;
        QObject timerParent;
        GuessingReport report([&lines](const QString& line) { lines += line; }, clock, &timerParent);
        const QHostAddress guesser(u"192.0.2.7"_s);
        const QHostAddress other(u"2001:db8::7"_s);
        const auto attempt = [&](const QHostAddress& from, const QString& offered) {
            const RoomKey::Verdict verdict = key.check(from, RoomKey::protocolFor(offered));
            if (verdict != RoomKey::Verdict::Admitted)
                report.onRefused(from, 50114, verdict);
            return verdict;
        };
        const qint64 start = now;
        for (int i = 0; i < RoomKey::MaxWrongKeys; ++i) {
            attempt(guesser, u"guess%1xyz"_s.arg(i));
            now += Second;
        }
        for (int i = 0; i < 3; ++i)
            QCOMPARE(attempt(guesser, Key), RoomKey::Verdict::LockedOut);
        QCOMPARE(attempt(other, u"guess1234"_s), RoomKey::Verdict::Wrong);
        QCOMPARE(lines, QStringList({u"browser 192.0.2.7:50114 refused: wrong room key"_s,
                                     u"browser [2001:db8::7]:50114 refused: wrong room key"_s}));
        now = start + GuessingReport::IntervalNanoseconds - 1;
        report.reportDue();
        QCOMPARE(lines.size(), 2);
        now += 1;
        report.reportDue();
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.last(),
                 u"browser address 192.0.2.7: 4 more wrong room keys, locked out for 60 s, 3 more refused while "
                 "locked out"_s);

        // Still locked out in the next minute, then let in unlogged; the rest waits for that minute's end.
        QCOMPARE(attempt(guesser, Key), RoomKey::Verdict::LockedOut);
        now = start + (RoomKey::MaxWrongKeys - 1) * Second + GuessingReport::IntervalNanoseconds;
        QCOMPARE(attempt(guesser, Key), RoomKey::Verdict::Admitted);
        QCOMPARE(attempt(guesser, u"guess1234"_s), RoomKey::Verdict::Wrong);
        QCOMPARE(lines.size(), 3);
        report.reportAll();
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.last(), u"browser address 192.0.2.7: 1 more wrong room key, 1 more refused while locked out"_s);

        // After its lines are all told, a lockout that comes first is told at once.
        for (int i = 0; i < RoomKey::MaxWrongKeys - 2; ++i)
            attempt(guesser, u"guess1234"_s);
        report.reportAll();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.last(), u"browser address 192.0.2.7: 2 more wrong room keys"_s);
        QCOMPARE(attempt(guesser, u"guess1234"_s), RoomKey::Verdict::WrongLockingOut);
        QCOMPARE(lines.last(), u"browser 192.0.2.7:50114 refused: wrong room key, 5 within 60 s: the address is "
                               "locked out for 60 s"_s);
        QVERIFY(!lines.join(u'\n').contains(u"ひらけ"_s));
    }

    void gatewayLetsInOnlyBrowsersWithTheKey()
    {
        QTemporaryDir directory;
        const QString keyFile = directory.filePath(u"room.key"_s);
        QVERIFY(writeFile(keyFile, Key.toUtf8() + '\n'));
        KovaProcess kova;
        QVERIFY(kova.startListening());
        WebGatewayProcess web({u"--listen"_s, u"127.0.0.1:8557"_s, u"--access-key-file"_s, keyFile});
        QVERIFY(web.start());
        QVERIFY(web.waitForOutput(u"kova-web: browsers need the room key in "_s + keyFile + u'\n'));

        // The page is told to ask for a key, and only that.
        QTcpSocket http;
        http.connectToHost(QHostAddress::LocalHost, WebGatewayProcess::Port);
        QVERIFY(http.waitForConnected(5000));
        http.write("GET / HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nConnection: close\r\n\r\n");
        QByteArray page;
        while (http.waitForReadyRead(3000))
            page += http.readAll();
        QVERIFY2(page.contains(R"(<meta name="kova-room-key" content="required">)"), page.left(600));

        for (const QByteArray& protocol : {QByteArray(), RoomKey::protocolFor(u"ひらけ、ごま 1235"_s)}) {
            ChatBrowser refused(u"http://127.0.0.1:8557"_s, protocol);
            QCOMPARE(refused.closedWith(), u"4003 wrong room key"_s);
            QVERIFY(!refused.connected && refused.received.isEmpty());
        }
        QVERIFY(web.waitForOutput(u"refused: wrong room key"_s));
        QVERIFY2(!web.output().contains(u" connected"_s), qPrintable(web.output()));

        ChatBrowser admitted(u"http://127.0.0.1:8557"_s, RoomKey::protocolFor(Key));
        QVERIFY(admitted.join(u"鍵"_s));
        QCOMPARE(admitted.socket.subprotocol().toLatin1(), RoomKey::protocolFor(Key));
        QVERIFY(admitted.waitReceived(u"NAME:1:鍵+"_s));

        // Guessing from one address: one line at once, and what followed in one line as the gateway stops.
        const QHostAddress guesser(u"127.0.0.3"_s);
        for (int i = 0; i < RoomKey::MaxWrongKeys; ++i)
            QCOMPARE(closeCodeFrom(guesser, RoomKey::protocolFor(u"guess%1xyz"_s.arg(i))), 4003);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(closeCodeFrom(guesser, RoomKey::protocolFor(Key)), 4004);
        QCOMPARE(closeCodeFrom(QHostAddress(u"127.0.0.4"_s), RoomKey::protocolFor(Key)), 0);
        QVERIFY(web.waitForOutput(u"browser 127.0.0.3:"_s));
        QCOMPARE(web.output().count(u"127.0.0.3"_s), 1);
        QCOMPARE(web.terminate(), 0);
        QVERIFY(web.output().contains(
            u"browser address 127.0.0.3: 4 more wrong room keys, locked out for 60 s, 3 more refused while locked "
            "out\n"_s));
        QCOMPARE(web.output().count(u"127.0.0.3"_s), 2);

        // Neither the key nor its form on the wire reaches the log.
        QVERIFY(!web.output().contains(Key) && !web.output().contains(u"ひらけ"_s));
        QVERIFY(!web.output().contains(QString::fromLatin1(RoomKey::protocolFor(Key).sliced(9))));
        kova.terminate();
    }

    void unusableKeyFilesEndTheGatewayAtStart()
    {
        QTemporaryDir directory;
        const QString shortKey = directory.filePath(u"short.key"_s);
        QVERIFY(writeFile(shortKey, "1234567\n"));
        const QString missing = directory.filePath(u"missing.key"_s);
        const struct {
            QString file;
            QString error;
        } cases[] = {
            {shortKey, u"kova-web: the room key in %1 is shorter than 8 characters\n"_s.arg(shortKey)},
            {missing, u"kova-web: cannot read the room key file %1: No such file or directory\n"_s.arg(missing)},
            {QString(), u"kova-web: --access-key-file needs a file\n"_s},
        };
        for (const auto& testCase : cases) {
            QProcess process;
            process.start(qEnvironmentVariable("KOVA_WEB_BINARY"),
                          {u"--listen"_s, u"127.0.0.1:8557"_s, u"--access-key-file="_s + testCase.file});
            QVERIFY(process.waitForFinished(10000));
            QCOMPARE(QString::fromUtf8(process.readAllStandardError()), testCase.error);
            QCOMPARE(process.exitCode(), 2);
        }
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestRoomKey, false)
#include "tst_roomkey.moc"
