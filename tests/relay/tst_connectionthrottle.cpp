#include "Harness.h"
#include "relay/ConnectionThrottle.h"
#include "relay/RefusalReport.h"

#include <QTest>
#include <QTimer>

using namespace kova;
using namespace kova::test;

namespace {
constexpr qint64 Ms = 1'000'000;
constexpr qint64 Second = 1000 * Ms;
} // namespace

class TestConnectionThrottle : public QObject {
    Q_OBJECT

    qint64 m_now = 0;
    const QHostAddress a{QStringLiteral("192.0.2.7")};
    const QHostAddress b{QStringLiteral("2001:db8::7")};

    ConnectionThrottle throttle(ConnectionThrottle::Limits limits = ConnectionThrottle::Shipped)
    {
        return ConnectionThrottle(limits, [this] { return m_now; });
    }

    static int admitted(ConnectionThrottle& t, const QHostAddress& address, int tries)
    {
        int n = 0;
        for (int i = 0; i < tries; ++i)
            n += t.admits(address) ? 1 : 0;
        return n;
    }

private Q_SLOTS:
    void init() { m_now = 1000 * Second; }

    void burstThenOneEveryTwoSeconds()
    {
        ConnectionThrottle t = throttle();
        QCOMPARE(admitted(t, a, 50), 10);
        QCOMPARE(admitted(t, b, 50), 10); // each address has a bucket of its own
        m_now += 2 * Second - 1;
        QCOMPARE(admitted(t, a, 5), 0);
        m_now += 1;
        QCOMPARE(admitted(t, a, 5), 1);
        // A minute of one try every 100 ms gets one through every 2 s.
        int through = 0;
        for (int i = 0; i < 600; ++i) {
            m_now += 100 * Ms;
            through += admitted(t, a, 1);
        }
        QCOMPARE(through, 30);
        // A long pause refills the bucket up to the burst, no further.
        m_now += 3600 * Second;
        QCOMPARE(admitted(t, a, 50), 10);
    }

    // A gateway's connection that turns out to be a browser's is given back to the gateway's address.
    void refundGivesBackOneConnection()
    {
        ConnectionThrottle t = throttle();
        QCOMPARE(admitted(t, a, 10), 10);
        t.refund(a);
        QCOMPARE(admitted(t, a, 5), 1);
        for (int i = 0; i < 20; ++i)
            t.refund(a);
        QCOMPARE(admitted(t, a, 50), 10); // never beyond a full bucket
        t.refund(b);                      // nothing taken, nothing given
        QCOMPARE(admitted(t, b, 50), 10);
    }

    // Beyond the addresses remembered, the one nearest to full is forgotten, never one that is further from it.
    void rememberedAddressesAreBounded()
    {
        ConnectionThrottle t = throttle({.nanosecondsPerConnection = 2 * Second, .burst = 2});
        QCOMPARE(admitted(t, a, 5), 2);
        for (quint32 i = 0; i < ConnectionThrottle::RememberedAddresses; ++i) {
            m_now += 1;
            QVERIFY(t.admits(QHostAddress(0x0A000000U + i)));
        }
        QCOMPARE(admitted(t, a, 5), 0);
        QCOMPARE(admitted(t, QHostAddress(0x0A000000U), 5), 2); // forgotten when the last one came
    }

    void refusalsAreLoggedOncePerAddressPerMinute()
    {
        Harness<FakeWinsock> h;
        RefusalReport report(h.log, [this] { return m_now; });
        const auto lines = [&h] { return h.logMessages(); };
        for (int i = 0; i < 5; ++i)
            report.onRefused(a);
        report.onRefused(b);
        QCOMPARE(lines(), QStringList({QStringLiteral("192.0.2.7 からの接続が多すぎるため、1 件を断りました。"),
                                       QStringLiteral("2001:db8::7 からの接続が多すぎるため、1 件を断りました。")}));
        m_now += RefusalReport::IntervalNanoseconds - 1;
        report.onRefused(a);
        report.reportDue();
        QCOMPARE(lines().size(), 2);
        m_now += 1;
        report.onRefused(a); // the minute is over but not yet reported: this one joins the count
        report.reportDue();
        QCOMPARE(lines().size(), 3);
        QCOMPARE(lines().last(), QStringLiteral("192.0.2.7 からの接続が多すぎるため、6 件を断りました。"));
        // Quiet for a minute after its last line: the next refusal is told at once.
        m_now += RefusalReport::IntervalNanoseconds;
        report.reportDue();
        report.onRefused(a);
        QCOMPARE(lines().size(), 4);
        report.onRefused(a);
        report.onRefused(a);
        report.reportAll();
        QCOMPARE(lines().size(), 5);
        QCOMPARE(lines().last(), QStringLiteral("192.0.2.7 からの接続が多すぎるため、2 件を断りました。"));
    }

    // A minute after the last line counts as over, before the timer runs; reportAll tells only counts waiting.
    void refusalsAtTheMinutesEdge()
    {
        Harness<FakeWinsock> h;
        RefusalReport report(h.log, [this] { return m_now; });
        const auto lines = [&h] { return h.logMessages(); };
        report.onRefused(a);
        QVERIFY(report.findChild<QTimer*>()->isActive());
        report.onRefused(a);
        report.onRefused(b);
        m_now += RefusalReport::IntervalNanoseconds;
        report.onRefused(b);
        QCOMPARE(lines().size(), 3);
        report.reportDue();
        QCOMPARE(lines().size(), 4);
        report.onRefused(a); // within a minute of the line just logged
        QCOMPARE(lines().size(), 4);
        report.reportAll();
        QCOMPARE(lines().size(), 5);
        QCOMPARE(lines().last(), QStringLiteral("192.0.2.7 からの接続が多すぎるため、1 件を断りました。"));
    }
};

QTEST_GUILESS_MAIN(TestConnectionThrottle)
#include "tst_connectionthrottle.moc"
