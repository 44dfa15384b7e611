#include "ui/FormLayout.h"

#include <QTest>

using namespace kova;

class TestFormLayout : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void layoutOfA9000By5990Window()
    {
        const FormLayout layout = FormResize(FormLayout::defined(), 9000, 5990, false);
        QCOMPARE(layout.Text3, QRect(0, 480, 6000, 3990));
        QCOMPARE(layout.List1, QRect(6100, 480, 2655, 3990));
        QCOMPARE(layout.Text1, QRect(840, 4540, 7955, 615));
        QCOMPARE(layout.Label1[1], QRect(6030, 120, 6000, 375));
        QCOMPARE(layout.Label1[2], QRect(120, 4540, 855, 375));
        QCOMPARE(layout.Label1[0], FormLayout::defined().Label1[0]);
        QVERIFY(!layout.correctedWidth && !layout.correctedHeight);
    }

    void limits_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("minimized");
        QTest::addColumn<int>("correctedWidth"); // 0: none
        QTest::addColumn<int>("correctedHeight");
        QTest::addColumn<bool>("widthLaidOut");
        QTest::addColumn<bool>("heightLaidOut");
        QTest::newRow("exactly the limits") << 7707 << 3870 << false << 0 << 0 << true << true;
        QTest::newRow("too narrow") << 7706 << 5000 << false << 7707 << 0 << false << true;
        QTest::newRow("too low") << 8000 << 3869 << false << 0 << 3870 << true << false;
        QTest::newRow("both too small") << 100 << 100 << false << 7707 << 3870 << false << false;
        QTest::newRow("minimized") << 2400 << 500 << true << 0 << 0 << false << false;
    }

    void limits()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(bool, minimized);
        QFETCH(int, correctedWidth);
        QFETCH(int, correctedHeight);
        QFETCH(bool, widthLaidOut);
        QFETCH(bool, heightLaidOut);
        const FormLayout before = FormLayout::defined();
        const FormLayout layout = FormResize(before, width, height, minimized);
        QCOMPARE(layout.correctedWidth.value_or(0), correctedWidth);
        QCOMPARE(layout.correctedHeight.value_or(0), correctedHeight);
        QCOMPARE(layout.Text3.width() != before.Text3.width(), widthLaidOut);
        QCOMPARE(layout.Text3.height() != before.Text3.height(), heightLaidOut);
        if (widthLaidOut)
            QCOMPARE(layout.Text3.width(), width - 3000);
        if (heightLaidOut)
            QCOMPARE(layout.Text1.y(), height - 2000 + 550);
    }

    void roundedSizesCarryOver()
    {
        // A toolkit that keeps sizes in whole pixels of 15 twips.
        const ReadBack pixels = [](int twips) { return (twips + 7) / 15 * 15; };
        const FormLayout layout = FormResize(FormLayout::defined(), 9008, 5996, false, pixels);
        QCOMPARE(layout.Text3.width(), 6015);
        QCOMPARE(layout.List1.x(), 6115);
        QCOMPARE(layout.Label1[1].x(), 6045);
        QCOMPARE(layout.Text3.height(), 3990);
        QCOMPARE(layout.Text1.y(), 4540);
    }
};

QTEST_GUILESS_MAIN(TestFormLayout)
#include "tst_formlayout.moc"
