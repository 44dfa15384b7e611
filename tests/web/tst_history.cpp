#include "web/History.h"

#include <QJsonArray>
#include <QTest>

using namespace kova::web;
using namespace Qt::StringLiterals;

namespace {

QStringList shown(const QList<ChatLine>& lines)
{
    QStringList out;
    for (const ChatLine& line : lines)
        out << (line.speaker ? *line.speaker : u"(none)"_s) + u": "_s + line.text;
    return out;
}

// The lines that the reads complete, and the one still open.
QStringList read(const QStringList& reads)
{
    StreamLines reader;
    QList<ChatLine> lines;
    for (const QString& text : reads)
        lines += reader.feed(text);
    if (const auto open = reader.openLine())
        lines << *open;
    return shown(lines);
}

QStringList lineTexts(const QJsonObject& message)
{
    QStringList out;
    for (const QJsonValue item : message.value(u"lines"_s).toArray()) {
        const QJsonObject o = item.toObject();
        out << (o.value(u"kind"_s) == u"gap"_s ? u"(gap)"_s : o.value(u"text"_s).toString());
    }
    return out;
}

} // namespace

// The gateway's reader of the server's stream, which must find the lines as the page does, and its record.
class TestHistory : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void findsTheSameLinesForEveryCut()
    {
        const QString session = u"NAME:0:サーバ+NAME:1:Web+NAME:0:サーバ+NAME:1:Web+NAME:2:生+生 > こんにちはWeb > やあ"
                                u"生 > a > b生 > また後でRNAME:0:とても長い名前+とても長い名前 > ようこそ+RNAME:2:"
                                u"Web > 生 > いない > text"_s;
        const QStringList want{u"生: こんにちは"_s,
                               u"Web: やあ"_s,
                               u"生: a > b"_s,
                               u"生: また後でR"_s,
                               u"とても長い名前: ようこそ+"_s,
                               u"Web: 生 > いない > text"_s};
        QCOMPARE(read({session}), want);
        for (qsizetype i = 1; i < session.size(); ++i) {
            const QStringList got = read({session.left(i), session.mid(i)});
            QVERIFY2(got == want, qPrintable(u"cut at %1: "_s.arg(i) + got.join(u" | "_s)));
        }
        QStringList characters;
        for (const QChar c : session)
            characters << QString(c);
        QCOMPARE(read(characters), want);
    }

    // A name splits lines only while its slot is taken: one who left, or whom a roster skips, is forgotten; a
    // lone operator's entry renames only the operator.
    void forgetsNamesNoLongerListed()
    {
        const QString roster = u"NAME:0:S+NAME:1:A+NAME:2:B+NAME:3:C+"_s;
        QCOMPARE(read({roster + u"A > 1B > 2RNAME:2:A > 3B > 4"_s + roster +
                       u"NAME:0:S+NAME:1:A+NAME:3:C+A > 5B > 6NAME:0:T+RNAME:1:T > 7C > 8"_s}),
                 QStringList({u"A: 1"_s, u"B: 2"_s, u"A: 3B > 4"_s, u"A: 5B > 6"_s, u"T: 7"_s, u"C: 8"_s}));
        // A name not known yet is read up to the arrow, at its longest too.
        const QString longest(StreamLines::MaxName, u'x');
        QCOMPARE(read({longest + u" > hi"_s}), QStringList{longest + u": hi"_s});
        // A roster entry holding the arrow is no name, whatever a server sends.
        QCOMPARE(read({u"NAME:0:S+NAME:1:x > y+S > 1x > y > 2"_s}),
                 QStringList({u"NAME:1:x: y+"_s, u"S: 1x > y > 2"_s}));
    }

    void keepsALongLineBounded()
    {
        StreamLines reader;
        reader.feed(u"NAME:0:サーバ+NAME:1:生+生 > "_s);
        for (int i = 0; i < 2000; ++i)
            reader.feed(u"とても長い行です。"_s.repeated(10));
        const auto lines = reader.feed(u"RNAME:1:"_s);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines[0].text.size(), ChatLine::MaxText);
        QVERIFY(lines[0].text.startsWith(u"とても長い行です。とても"_s));
        QVERIFY(!reader.openLine());
    }

    void recordsTheOldestBrowsersLinesWithItsGaps()
    {
        History history(3);
        QObject first;
        QObject second;
        const QString roster = u"NAME:0:サーバ+NAME:1:a+NAME:2:b+"_s;
        history.attach(&first);
        history.received(&first, roster + u"a > 一a > 二"_s);
        history.attach(&second);
        history.received(&second, u"NAME:0:サーバ+NAME:1:a+NAME:2:b+NAME:3:c+"_s);
        history.received(&first, u"NAME:0:サーバ+NAME:1:a+NAME:2:b+NAME:3:c+"_s);
        QCOMPARE(lineTexts(history.message()), (QStringList{u"一"_s, u"二"_s}));
        QVERIFY(history.message().value(u"complete"_s).toBool());

        // Both see the next line; the second is read once the first has gone, the line is recorded once.
        history.received(&first, u"a > 三"_s);
        history.received(&second, u"a > 三"_s);
        history.detach(&first);
        history.received(&second, u"a > 四"_s);
        QCOMPARE(lineTexts(history.message()), (QStringList{u"一"_s, u"二"_s, u"三"_s, u"四"_s}));
        QVERIFY(history.message().value(u"complete"_s).toBool());
        // Three lines kept, and the one still open.
        history.received(&second, u"a > 五"_s);
        QCOMPARE(lineTexts(history.message()), (QStringList{u"二"_s, u"三"_s, u"四"_s, u"五"_s}));
        QVERIFY(!history.message().value(u"complete"_s).toBool());

        // Nobody there: a gap, and a reader that starts afresh.
        history.detach(&second);
        QObject third;
        history.attach(&third);
        history.received(&third, roster + u"b > 六"_s);
        QCOMPARE(lineTexts(history.message()), (QStringList{u"三"_s, u"四"_s, u"五"_s, u"(gap)"_s, u"六"_s}));

        History none(0);
        none.attach(&first);
        none.received(&first, roster + u"a > 一a > 二"_s);
        QVERIFY(!none.enabled());
        QCOMPARE(lineTexts(none.message()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
