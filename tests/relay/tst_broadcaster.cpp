#include "FakeWinsock.h"
#include "Harness.h"

#include <QTest>

using namespace kova;
using namespace kova::test;
using Send = FakeWinsock::Send;

class TestBroadcaster : public QObject {
    Q_OBJECT

    std::unique_ptr<Harness<FakeWinsock>> h;

    // Connects clients until those in the wanted slots are there, then lets the others go; the wanted ones register,
    // so that their departures are announced.
    void occupy(std::initializer_list<int> wanted)
    {
        const int highest = std::max(wanted);
        for (int slot = 1; slot <= highest; ++slot)
            QCOMPARE(h->sockets.connect(), slot);
        for (int slot = 1; slot <= highest; ++slot) {
            if (std::find(wanted.begin(), wanted.end(), slot) == wanted.end())
                h->sockets.peerCloses(slot);
            else
                h->sockets.receive(slot, QStringLiteral("NAME:P%1").arg(slot));
            drain();
        }
        h->sockets.sends.clear();
    }

    void broadcast(const QString& text)
    {
        h->tables.OutMessage = text;
        h->server.StartBroadcast();
    }

    // Completes sends one at a time until the walk stops; bounded, so a walk that never ends fails.
    void drain()
    {
        for (int step = 0; step < 100 && h->server.broadcaster().isRunning(); ++step)
            h->sockets.completeSend();
        QVERIFY(!h->server.broadcaster().isRunning());
    }

private Q_SLOTS:
    void init()
    {
        h = std::make_unique<Harness<FakeWinsock>>();
        QVERIFY(h->server.OpenServer());
    }

    void walksOneSendAtATimeInSlotOrder()
    {
        occupy({1, 3, 5});
        broadcast(QStringLiteral("hi"));
        QCOMPARE(h->sockets.sends, QList<Send>({{1, QStringLiteral("hi")}}));
        h->sockets.completeSend();
        QCOMPARE(h->sockets.sends.size(), 2);
        QCOMPARE(h->sockets.sends.last().index, 3);
        h->sockets.completeSend();
        QCOMPARE(h->sockets.sends.last().index, 5);
        QCOMPARE(h->tables.SendCursor, quint8(6));
        h->sockets.completeSend();
        QCOMPARE(h->sockets.sends.size(), 3);
        QCOMPARE(h->tables.SendCursor, quint8(6));
        QVERIFY(!h->server.broadcaster().isRunning());
    }

    void nobodyConnectedSendsNothing()
    {
        broadcast(QStringLiteral("hi"));
        QVERIFY(h->sockets.sends.isEmpty());
        QCOMPARE(h->tables.SendCursor, quint8(0));
        QVERIFY(!h->server.broadcaster().isRunning());
    }

    void laterMessagesQueueBehindTheWalk()
    {
        occupy({2, 4});
        broadcast(QStringLiteral("first"));
        broadcast(QStringLiteral("second"));
        // Overwriting the shared message while the walk runs changes nothing already produced.
        h->sockets.receive(2, QStringLiteral(" "));
        broadcast(QStringLiteral("third"));
        drain();
        QCOMPARE(h->sockets.sends, QList<Send>({{2, QStringLiteral("first")},
                                                {4, QStringLiteral("first")},
                                                {2, QStringLiteral("second")},
                                                {4, QStringLiteral("second")},
                                                {2, QStringLiteral("third")},
                                                {4, QStringLiteral("third")}}));
    }

    void clientLeavingMidSendDoesNotStallTheWalk()
    {
        occupy({1, 2, 3});
        broadcast(QStringLiteral("hi"));
        h->sockets.completeSend(); // slot 1 done, slot 2 in flight
        QCOMPARE(h->sockets.sends.last().index, 2);
        h->sockets.peerCloses(2); // no completion ever comes for slot 2
        drain();
        QCOMPARE(h->sockets.sends, QList<Send>({{1, QStringLiteral("hi")},
                                                {2, QStringLiteral("hi")},
                                                {3, QStringLiteral("hi")},
                                                {1, QStringLiteral("RNAME:2:")},
                                                {3, QStringLiteral("RNAME:2:")}}));
    }

    // Its slot is still taken while its leave notice goes out: only the socket's state tells that it is gone.
    void departedClientIsSkipped()
    {
        occupy({1, 2});
        h->sockets.peerCloses(1);
        drain();
        QCOMPARE(h->sockets.sends, QList<Send>({{2, QStringLiteral("RNAME:1:")}}));
    }

    void lateCompletionOfAnAbandonedSendIsIgnored()
    {
        occupy({1, 2});
        broadcast(QStringLiteral("hi"));
        h->sockets.peerCloses(1);
        QCOMPARE(h->sockets.sends.last(), Send({2, QStringLiteral("hi")}));
        Q_EMIT h->sockets.sendCompleted(1);
        QCOMPARE(h->sockets.sends.size(), 2);
        drain();
        QCOMPARE(h->sockets.sends.last(), Send({2, QStringLiteral("RNAME:1:")}));
    }

    void eligibilityIsDecidedWhenTheTurnComes()
    {
        occupy({1, 3});
        broadcast(QStringLiteral("a"));
        h->sockets.completeSend();         // "a" now in flight to slot 3
        QCOMPARE(h->sockets.connect(), 2); // joins behind the cursor: misses "a"
        QCOMPARE(h->sockets.connect(), 4); // joins ahead of the cursor: gets "a"
        broadcast(QStringLiteral("b"));
        drain();
        QCOMPARE(h->sockets.sends, QList<Send>({{1, QStringLiteral("a")},
                                                {3, QStringLiteral("a")},
                                                {4, QStringLiteral("a")},
                                                {1, QStringLiteral("b")},
                                                {2, QStringLiteral("b")},
                                                {3, QStringLiteral("b")},
                                                {4, QStringLiteral("b")}}));
    }
};

QTEST_GUILESS_MAIN(TestBroadcaster)
#include "tst_broadcaster.moc"
