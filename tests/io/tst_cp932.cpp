#include "io/Cp932.h"

#include <QTest>

using namespace kova;

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
        // ICU's table swaps these the IBM way; Windows keeps every byte below 80 as it is.
        QTest::newRow("control codes") << QStringLiteral("\x1a\x1c\x7f") << QByteArray("\x1a\x1c\x7f");
        QTest::newRow("control codes among kanji")
            << QStringLiteral("表\x1a\x1c\x7f") << QByteArray("\x95\x5c\x1a\x1c\x7f");
    }

    void encode()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(cp932::encode(text), bytes);
        if (!bytes.contains('?'))
            QCOMPARE(cp932::decode(bytes), text);
    }

    void splitDoubleByteCharacterIsJoined()
    {
        cp932::Decoder decoder;
        const QByteArray bytes = cp932::encode(QStringLiteral("サーバ"));
        QString text = decoder.decode(bytes.left(3));
        text += decoder.decode(bytes.mid(3));
        QCOMPARE(text, QStringLiteral("サーバ"));
    }

    void invalidBytesKeepTheRest()
    {
        cp932::Decoder decoder;
        const QString text = decoder.decode(QByteArray::fromHex("ff41804281204400455c"));
        QCOMPARE(text.size(), 10);
        QCOMPARE(text.right(5), QStringLiteral(" D") + QChar(u'\0') + QStringLiteral("E\\"));
        QVERIFY(text.contains(u'A'));
        QVERIFY(text.contains(u'B'));
    }
};

QTEST_GUILESS_MAIN(TestCp932)
#include "tst_cp932.moc"
