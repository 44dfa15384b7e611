#include "web/ChatRules.h"
#include "web/HttpRequest.h"

#include <QTest>

using namespace kova::web;
using namespace Qt::StringLiterals;

// What the gateway takes from a browser, without sockets: request heads, nicknames and chat lines.
class TestWebRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void requestHeads_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("status"); // 0 complete, -1 incomplete
        const QByteArray get = "GET / HTTP/1.1\r\nHost: a\r\n";
        QTest::newRow("complete") << get + "\r\n" << 0;
        QTest::newRow("HTTP/1.0 without Host") << QByteArray("HEAD /kova.js HTTP/1.0\r\n\r\n") << 0;
        QTest::newRow("no body") << get + "Content-Length: 00\r\n\r\n" << 0;
        QTest::newRow("begun") << QByteArray("GET / HT") << -1;
        QTest::newRow("headers to come") << get << -1;
        QTest::newRow("TLS at once") << QByteArray("\x16\x03\x01\x02", 4) << 400;
        QTest::newRow("LF alone") << QByteArray("GET / HTTP/1.1\nHost: a\n\n") << 400;
        QTest::newRow("CR alone") << QByteArray("GET / HTTP/1.1\rHost") << 400;
        QTest::newRow("CR alone, then one at the end") << QByteArray("GET / HTTP/1.1\rHost\r") << 400;
        QTest::newRow("no path") << QByteArray("GET http://a/ HTTP/1.1\r\n") << 400;
        QTest::newRow("three words") << QByteArray("GET /  HTTP/1.1\r\n") << 400;
        QTest::newRow("HTTP/2") << QByteArray("GET / HTTP/2.0\r\n") << 505;
        QTest::newRow("HTTP/1.2") << QByteArray("GET / HTTP/1.2\r\n") << 505;
        QTest::newRow("no method") << QByteArray(" / HTTP/1.1\r\nHost: a\r\n\r\n") << 400;
        QTest::newRow("no Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("two Hosts") << get + "Host: b\r\n\r\n" << 400;
        QTest::newRow("folded header") << get + " folded\r\n\r\n" << 400;
        QTest::newRow("control in a value") << get + "Origin: \x1b[31m\r\n\r\n" << 400;
        QTest::newRow("DEL in a value") << get + "Origin: a\x7f\r\n\r\n" << 400;
        QTest::newRow("body") << get + "Content-Length: 100000000000\r\n\r\n" << 413;
        QTest::newRow("chunked") << get + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello" << 413;
        QTest::newRow("bad length") << get + "Content-Length: -1\r\n\r\n" << 400;
        // The connection buffers 16 KiB at most: that much without an end is refused.
        QTest::newRow("line of 16 KiB") << "GET /" + QByteArray(MaxRequestHead - 5, 'a') << 414;
        QTest::newRow("head of 16 KiB") << get + "X: " + QByteArray(MaxRequestHead, 'a') << 431;
        const QByteArray filler = "X: " + QByteArray(MaxRequestHead - get.size() - 7, 'a') + "\r\n";
        QTest::newRow("exactly 16 KiB") << get + filler + "\r\n" << 0;
        QTest::newRow("a byte over") << get + 'b' + filler + "\r\n" << 431;
    }

    void requestHeads()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, status);
        const HeadParse parse = parseRequestHead(data);
        switch (status) {
        case 0:
            QCOMPARE(parse.result, HeadParse::Result::Complete);
            QCOMPARE(parse.length, data.size());
            break;
        case -1:
            QCOMPARE(parse.result, HeadParse::Result::Incomplete);
            break;
        default:
            QCOMPARE(parse.result, HeadParse::Result::Refused);
            QCOMPARE(parse.status, status);
            QVERIFY(!parse.reason.isEmpty());
        }
    }

    void requestParts()
    {
        const HeadParse parse =
            parseRequestHead("GET /chat?x=1 HTTP/1.1\r\nHost: a\r\nConnection: keep-alive, Upgrade\r\n\r\nGET");
        QCOMPARE(parse.result, HeadParse::Result::Complete);
        QCOMPARE(parse.request.path(), "/chat");
        QVERIFY(parse.request.lists("connection", "upgrade"));
        QVERIFY(parse.request.keepsOpen());
        QVERIFY(!parseRequestHead("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").request.keepsOpen());
        QVERIFY(!parseRequestHead("GET / HTTP/1.0\r\n\r\n").request.keepsOpen());
    }

    void sends_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("refused");
        QTest::newRow("registration") << u"NAME:太郎"_s << false;
        QTest::newRow("chat") << u"E:1: > hi + bye"_s << false;
        QTest::newRow("idle") << u" "_s << false;
        QTest::newRow("colon in a name") << u"NAME:E:1:"_s << true;
        QTest::newRow("several registrations") << u"NAME:Mal+NAME:7:Admin+NAME:8:Police"_s << true;
        QTest::newRow("arrow in a name") << u"NAME:a > b"_s << true;
        QTest::newRow("space before a name") << u"NAME: Taro"_s << true;
        QTest::newRow("space after a name") << u"NAME:Taro "_s << true;
        QTest::newRow("empty name") << u"NAME:"_s << true;
        QTest::newRow("registration inside a line") << u"helloNAME:Jiro"_s << true;
        QTest::newRow("leave notice") << u"RNAME:"_s << true;
    }

    void sends()
    {
        QFETCH(QString, text);
        QFETCH(bool, refused);
        QCOMPARE(!sendRefusal(text).isEmpty(), refused);
    }

    // A pattern cut anywhere between the end of a browser's line and the start of the next message, whatever that
    // message is (a client program's speaker may be named "E:1:"): the line as passed on never completes it.
    void noPatternAcrossALinesEnd()
    {
        for (const QString& pattern : {u"NAME:"_s, u"RNAME:"_s}) {
            for (qsizetype cut = 1; cut < pattern.size(); ++cut) {
                const QString line = u"hi all "_s + pattern.left(cut);
                const QString next = pattern.mid(cut) + u"1: > how are you"_s;
                QVERIFY((line + next).contains(pattern));
                QVERIFY2(!(harmlessLine(line) + next).contains(pattern), qPrintable(line));
            }
        }
        const QString stream = u"Mal > "_s + harmlessLine(u"また後でR"_s) + u"NAME:0:サーバ+NAME:1:Mal+"_s;
        QVERIFY(!stream.contains(u"RNAME:"_s));
    }

    // A registration is passed on as it is, so what follows it is guarded at its start instead: every end of a
    // nickname and every start of the next message, up to four of the patterns' characters each. A space goes before
    // the next message exactly when the two would make up a pattern, and then none is made up.
    void noPatternAfterARegistration()
    {
        const auto strings = [](const QString& letters) {
            QStringList all = {QString()};
            for (qsizetype from = 0, length = 1; length <= 4; ++length) {
                const qsizetype to = all.size();
                for (qsizetype i = from; i < to; ++i) {
                    for (const QChar c : letters)
                        all += all.at(i) + c;
                }
                from = to;
            }
            return all;
        };
        const auto count = [](const QString& text) { return text.count(u"NAME:"_s) + text.count(u"RNAME:"_s); };
        const QStringList ends = strings(u"NAMER"_s);
        const QStringList starts = strings(u"NAME:R"_s);
        for (const QString& end : ends) {
            const QString previous = u"NAME:x"_s + end;
            for (const QString& next : starts) {
                const bool madeUp = count(previous + next) > count(previous) + count(next);
                QCOMPARE(completesAPattern(previous, next), madeUp);
                const QString guarded = previous + (madeUp ? u" "_s : QString()) + next;
                QCOMPARE(count(guarded), count(previous) + count(next));
            }
        }
    }

    // Every line end of up to six characters from the patterns' letters: the line is changed exactly when some
    // following text would complete a pattern across its end, and then only by a trailing space.
    void harmlessLinesExactly()
    {
        const QString letters = u"NAMER:x "_s;
        const QStringList patterns = {u"NAME:"_s, u"RNAME:"_s};
        QStringList ends = {QString()};
        for (int length = 1; length <= 6; ++length) {
            QStringList longer;
            for (const QString& end : std::as_const(ends)) {
                for (const QChar c : letters)
                    longer += end + c;
            }
            for (const QString& end : std::as_const(longer)) {
                if (end.contains(u"NAME:"_s))
                    continue; // refused before
                bool completes = false;
                bool harmlessCompletes = false;
                const QString harmless = harmlessLine(end);
                for (const QString& pattern : patterns) {
                    for (qsizetype cut = 1; cut < pattern.size(); ++cut) {
                        completes = completes || (end + pattern.mid(cut)).endsWith(pattern);
                        harmlessCompletes = harmlessCompletes || (harmless + pattern.mid(cut)).endsWith(pattern);
                    }
                }
                QVERIFY2(!harmlessCompletes, qPrintable(end));
                QCOMPARE(harmless, completes ? end + u' ' : end);
            }
            ends = longer;
        }
        QCOMPARE(harmlessLine(u"NAME:HANNA"_s), u"NAME:HANNA"_s); // a registration goes as typed
    }
};

QTEST_GUILESS_MAIN(TestWebRules)
#include "tst_webrules.moc"
