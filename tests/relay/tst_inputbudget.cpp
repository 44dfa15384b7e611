#include "relay/InputBudget.h"

#include <QTest>

#include <limits>

using namespace kova;

namespace {

constexpr qint64 Ms = 1'000'000;
// Small numbers, so that every step is easy to follow: 1,000 bytes and 10 reads a second, bursts of 4,000 and 20.
constexpr InputBudget::Limits Small{
    .bytesPerSecond = 1000, .burstBytes = 4000, .messagesPerSecond = 10, .burstMessages = 20};

} // namespace

class TestInputBudget : public QObject {
    Q_OBJECT

    qint64 m_now = 0;
    InputBudget budget()
    {
        return InputBudget(Small, [this] { return m_now; });
    }

    // Reads of size bytes for as long as the budget allows, at most limit.
    static int readWhileAllowed(InputBudget& b, qint64 size, int limit = 100000)
    {
        int reads = 0;
        while (reads < limit && b.allows()) {
            b.spendMessage(size);
            ++reads;
        }
        return reads;
    }

private Q_SLOTS:
    void init() { m_now = 5'000 * Ms; }

    void aFullBucketAllowsTheBurstThenRefillsAtTheRate()
    {
        InputBudget b = budget();
        QCOMPARE(readWhileAllowed(b, 1), 20);
        // One read's worth of messages comes back every 100 ms.
        QCOMPARE(b.millisecondsUntilAllowed(), 100);
        m_now += 99 * Ms;
        QVERIFY(!b.allows());
        m_now += 1 * Ms;
        QCOMPARE(readWhileAllowed(b, 1), 1);
        m_now += 1000 * Ms;
        QCOMPARE(readWhileAllowed(b, 1), 10);
    }

    void bytesMayGoIntoDebtWhichTheNextReadWaitsOut()
    {
        InputBudget b = budget();
        // A read is never cut to fit: 5,000 bytes at once leaves a debt of 1,000, a second's refill.
        b.spendMessage(5000);
        QVERIFY(!b.allows());
        QCOMPARE(b.millisecondsUntilAllowed(), 1001);
        m_now += 1000 * Ms;
        QVERIFY(!b.allows());
        m_now += 1 * Ms;
        QVERIFY(b.allows());
        QCOMPARE(b.millisecondsUntilAllowed(), 1);
    }

    void overTimeTheBytesStayWithinBurstPlusRate_data()
    {
        QTest::addColumn<qint64>("readSize");
        QTest::addColumn<qint64>("stepMs");
        QTest::newRow("large reads, often") << qint64(700) << qint64(3);
        QTest::newRow("small reads, the message budget binds") << qint64(10) << qint64(1);
        QTest::newRow("reads larger than the burst") << qint64(9000) << qint64(50);
    }

    // A flooder that reads whenever allowed, for a minute: what it got through is the burst plus the rate
    // (plus at most the one read that went into debt), and no less than the rate allows.
    void overTimeTheBytesStayWithinBurstPlusRate()
    {
        QFETCH(qint64, readSize);
        QFETCH(qint64, stepMs);
        InputBudget b = budget();
        qint64 bytes = 0;
        qint64 reads = 0;
        for (qint64 t = 0; t < 60'000; t += stepMs) {
            while (b.allows()) {
                b.spendMessage(readSize);
                bytes += readSize;
                ++reads;
            }
            m_now += stepMs * Ms;
        }
        QVERIFY2(bytes <= 4000 + 60 * 1000 + readSize, qPrintable(QString::number(bytes)));
        QVERIFY2(reads <= 20 + 60 * 10, qPrintable(QString::number(reads)));
        const qint64 byRate = std::min(60 * 1000 / readSize, qint64(60 * 10));
        QVERIFY2(reads >= byRate - 1, qPrintable(QString::number(reads)));
    }

    void aLongPauseRefillsNoMoreThanTheBurst()
    {
        InputBudget b = budget();
        readWhileAllowed(b, 100);
        m_now += 48LL * 3600 * 1000 * Ms;
        QCOMPARE(readWhileAllowed(b, 1), 20);
        m_now += 48LL * 3600 * 1000 * Ms;
        QCOMPARE(readWhileAllowed(b, 1000), 4);
        // A clock that steps back refills nothing, and takes nothing either.
        m_now -= 3600 * 1000 * Ms;
        QVERIFY(!b.allows());
        QCOMPARE(b.millisecondsUntilAllowed(), 1);
    }

    void chargedBytesHoldBackWithoutCostingAMessage()
    {
        InputBudget b = budget();
        b.spendBytes(4000 + 2000);
        QVERIFY(!b.allows());
        QCOMPARE(b.millisecondsUntilAllowed(), 2001);
        m_now += 2001 * Ms;
        QCOMPARE(readWhileAllowed(b, 0), 20);
        // An absurd charge is bounded and overflows nothing; the timer asks again after an hour at most.
        b.spendBytes(std::numeric_limits<qint64>::max());
        QCOMPARE(b.millisecondsUntilAllowed(), 3600 * 1000);
        m_now += (qint64(1) << 30) * 1000 * Ms;
        QVERIFY(b.allows());
    }

    // The shipped byte rate does not divide a second: a spent bucket still reads as full again, at the nanosecond
    // its refill is due (1,000 bytes at 65,536 a second take 15,258,789.06 ns), and not before.
    void theShippedRatesRefillToFull()
    {
        InputBudget b(InputBudget::Shipped, [this] { return m_now; });
        b.spendMessage(1000);
        m_now += 15'258'789;
        QVERIFY(!b.isFull());
        m_now += 1;
        QVERIFY(b.isFull());
        m_now += 3600 * 1000 * Ms;
        QVERIFY(b.isFull());
    }

    // Starting from another budget: each bucket is the lower of the two as of now, and what was spent comes back only
    // with time.
    void keepLowerTakesEachBucketsLowerLevel()
    {
        InputBudget spent = budget();
        spent.spendMessage(5000);
        QVERIFY(!spent.isFull());
        m_now += 500 * Ms;
        InputBudget fresh = budget();
        QVERIFY(fresh.isFull());
        fresh.keepLower(spent);
        QCOMPARE(fresh.millisecondsUntilAllowed(), 501);

        // Only the messages spent: the bytes stay as they were.
        InputBudget chatty = budget();
        QCOMPARE(readWhileAllowed(chatty, 0), 20);
        InputBudget other = budget();
        other.keepLower(chatty);
        QCOMPARE(readWhileAllowed(other, 0), 0);
        m_now += 200 * Ms;
        QCOMPARE(readWhileAllowed(other, 1000), 2);
        QCOMPARE(readWhileAllowed(other, 1000), 0);

        // A fuller one lowers nothing; after a pause long enough to refill, all of it is back.
        spent.keepLower(budget());
        QVERIFY(!spent.allows());
        // 300 bytes in debt: 4,300 of them to go.
        m_now += 4299 * Ms;
        QVERIFY(!spent.isFull());
        m_now += 1 * Ms;
        QVERIFY(spent.isFull());
    }

    // Limits far beyond any real one (the tests use such to take the budget out of the way) overflow nothing,
    // however long the pause.
    void hugeLimitsAndLongPausesOverflowNothing()
    {
        const qint64 huge = qint64(1) << 30;
        InputBudget b({.bytesPerSecond = huge, .burstBytes = huge, .messagesPerSecond = huge, .burstMessages = huge},
                      [this] { return m_now; });
        b.spendMessage(huge);
        b.spendBytes(huge);
        QVERIFY(!b.allows());
        m_now += 365LL * 24 * 3600 * 1000 * Ms;
        QVERIFY(b.allows());
        QCOMPARE(readWhileAllowed(b, huge / 4), 4);
    }
};

QTEST_GUILESS_MAIN(TestInputBudget)
#include "tst_inputbudget.moc"
