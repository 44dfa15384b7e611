#include "Cp932Codes.h"
#include "io/Cp932.h"

#include <QTest>

using namespace kova;
using namespace kova::test::cp932codes;

namespace {
QByteArray code(quint16 c)
{
    const char bytes[2] = {char(c >> 8), char(c & 0xff)};
    return c > 0xff ? QByteArray(bytes, 2) : QByteArray(1, char(c));
}
} // namespace

class TestCp932 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void encode_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("ascii") << QStringLiteral("NAME:Taro+") << QByteArray("NAME:Taro+");
        QTest::newRow("katakana") << QStringLiteral("サーバ") << QByteArray::fromHex("8354815b836f");
        QTest::newRow("kanji and punctuation") << QStringLiteral("入力を行って下さい。")
                                               << QByteArray::fromHex("93fc97cd82f08d7382c182c489ba82b382a28142");
        QTest::newRow("trail byte 5C") << QStringLiteral("ソ表") << QByteArray::fromHex("835c955c");
        QTest::newRow("emoji becomes ?") << QStringLiteral("a\U0001F600b") << QByteArray("a?b");
        QTest::newRow("lone surrogate becomes ?") << QString(QChar(0xD800)) + u'x' << QByteArray("?x");
        QTest::newRow("unmapped BMP character") << QStringLiteral("x\u0100y") << QByteArray("x?y");
        QTest::newRow("FC FC next to a real 81FC")
            << QStringLiteral("◯\U0001F600纊") << QByteArray::fromHex("81fc3ffa5c");
        QTest::newRow("empty") << QString() << QByteArray();
        // Windows keeps every byte below 80 as it is, these three included.
        QTest::newRow("control codes") << QStringLiteral("\x1a\x1c\x7f") << QByteArray("\x1a\x1c\x7f");
        QTest::newRow("control codes among kanji")
            << QStringLiteral("表\x1a\x1c\x7f") << QByteArray("\x95\x5c\x1a\x1c\x7f");
        QTest::newRow("bytes of Windows' own")
            << QStringLiteral("\u0080\uF8F0\uF8F1\uF8F2\uF8F3ｱ") << QByteArray::fromHex("80a0fdfeffb1");
        // The JIS forms of input methods on Linux go out as what Windows users type.
        QTest::newRow("wave dash") << QStringLiteral("よろしく〜") << QByteArray::fromHex("82e682eb82b582ad8160");
        QTest::newRow("JIS forms") << QStringLiteral("−‖—¢£¬¦") << QByteArray::fromHex("817c8161815c8191819281cafa55");
        QTest::newRow("Windows forms") << QStringLiteral("～－∥―￠￡￢￤")
                                       << QByteArray::fromHex("8160817c8161815c8191819281cafa55");
        QTest::newRow("yen sign still has none") << QStringLiteral("¥1") << QByteArray("?1");
    }

    void encode()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(cp932::encode(text), bytes);
    }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("kanji") << QByteArray::fromHex("93fa967b") << QStringLiteral("日本");
        QTest::newRow("control codes") << QByteArray("\x1a\x1c\x7f") << QStringLiteral("\x1a\x1c\x7f");
        QTest::newRow("single bytes of Windows' own")
            << QByteArray::fromHex("80a0fdfeff") << QStringLiteral("\u0080\uF8F0\uF8F1\uF8F2\uF8F3");
        QTest::newRow("halfwidth katakana") << QByteArray::fromHex("a1b1df") << QStringLiteral("｡ｱﾟ");
        QTest::newRow("lead byte before a space") << QByteArray::fromHex("812041") << QStringLiteral("・ A");
        QTest::newRow("lead byte before DEL") << QByteArray::fromHex("887f41")
                                              << QStringLiteral("・\x7f"
                                                                "A");
        QTest::newRow("lead byte before a control") << QByteArray::fromHex("e01a") << QStringLiteral("・\x1a");
        QTest::newRow("lead byte before FD") << QByteArray::fromHex("81fd") << QStringLiteral("・\uF8F1");
        QTest::newRow("unassigned pair") << QByteArray::fromHex("854041") << QStringLiteral("・A");
        QTest::newRow("unassigned lead byte") << QByteArray::fromHex("eb40") << QStringLiteral("・");
        QTest::newRow("user-defined area") << QByteArray::fromHex("f040f9fc") << QStringLiteral("\uE000\uE757");
        QTest::newRow("lead byte at the end") << QByteArray::fromHex("4193") << QStringLiteral("A・");
        QTest::newRow("empty") << QByteArray() << QString();
    }

    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(cp932::decode(bytes), text);
    }

    // Every double-byte code: the assigned ones are 9,604 and come back as the code Windows prefers for their
    // character, the others are "・"; and none of them is ever "?".
    void everyDoubleByteCode()
    {
        int assigned = 0;
        for (int lead = 0x81; lead <= 0xfc; ++lead) {
            for (int trail = 0x40; trail <= 0xfc; ++trail) {
                if (!isLead(uchar(lead)) || !isTrail(uchar(trail)))
                    continue;
                const auto pair = quint16(lead << 8 | trail);
                const QString text = cp932::decode(code(pair));
                QCOMPARE(text.size(), 1);
                if (text.front() == QChar(u'・') && pair != 0x8145)
                    continue;
                ++assigned;
                QCOMPARE(cp932::encode(text).toHex(), code(preferredCode(pair)).toHex());
            }
        }
        QCOMPARE(assigned, AssignedDoubleByteCodes);
    }

    // Every single byte comes back as itself: what the relay passes on is what it received.
    void everySingleByteComesBack()
    {
        for (int b = 0; b < 0x100; ++b) {
            if (isLead(uchar(b)))
                continue;
            const QString text = cp932::decode(code(quint16(b)));
            QCOMPARE(text.size(), 1);
            QCOMPARE(cp932::encode(text), code(quint16(b)));
        }
    }

    void splitDoubleByteCharacterIsJoined()
    {
        cp932::Decoder decoder;
        const QByteArray bytes = cp932::encode(QStringLiteral("サーバ"));
        QString text = decoder.decode(bytes.left(3));
        QCOMPARE(text, QStringLiteral("サ"));
        QCOMPARE(decoder.decode({}), QString());
        text += decoder.decode(bytes.mid(3));
        QCOMPARE(text, QStringLiteral("サーバ"));

        // A held lead byte whose next read starts with no trail byte is invalid; that byte stands on its own.
        QCOMPARE(decoder.decode(QByteArray::fromHex("93")), QString());
        QCOMPARE(decoder.decode(" A"), QStringLiteral("・ A"));
    }
};

QTEST_GUILESS_MAIN(TestCp932)
#include "tst_cp932.moc"
