#include "FakeWinsock.h"
#include "Harness.h"
#include "io/Cp932.h"
#include "relay/BanList.h"

#include <QSignalSpy>
#include <QTest>

using namespace kova;
using namespace kova::test;

class TestChatServer : public QObject {
    Q_OBJECT

    std::unique_ptr<Harness<FakeWinsock>> h;

    // Clients in slots 1 and 2, the one in slot registered as name; what they were sent so far is taken.
    void twoClientsAndOneNamed(int slot, const QString& name)
    {
        QCOMPARE(h->sockets.connect(), 1);
        QCOMPARE(h->sockets.connect(), 2);
        h->sockets.receive(slot, QStringLiteral("NAME:") + name);
        h->delivered();
    }

private Q_SLOTS:
    void init()
    {
        h = std::make_unique<Harness<FakeWinsock>>();
        QVERIFY(h->server.OpenServer());
    }

    void openServerResetsTablesAndLogs()
    {
        Harness<FakeWinsock> fresh;
        fresh.tables.SendCursor = 7;
        fresh.tables.SlotName.at(3) = QStringLiteral("stale");
        QVERIFY(fresh.server.OpenServer(4242));
        QCOMPARE(fresh.sockets.calls, QStringList{QStringLiteral("Listen(0):4242")});
        QCOMPARE(fresh.tables.SendCursor, quint8(0));
        QCOMPARE(fresh.tables.SlotState.at(0), SLOT_SERVER);
        QCOMPARE(fresh.tables.SlotName.at(0), QStringLiteral("サーバ"));
        QVERIFY(fresh.tables.SlotName.at(3).isEmpty());
        QCOMPARE(fresh.logMessages(), QStringList{QStringLiteral("サーバとして待ち受けます。")});
    }

    void listenerFailureLogsNothing()
    {
        Harness<FakeWinsock> fresh;
        fresh.sockets.listenFails = true;
        fresh.sockets.listenError = QStringLiteral("The bound address is already in use");
        QVERIFY(!fresh.server.OpenServer());
        QCOMPARE(fresh.server.errorString(), QStringLiteral("The bound address is already in use"));
        QVERIFY(fresh.log.text().isEmpty());
        QCOMPARE(fresh.tables.SlotState.at(0), SLOT_FREE);
    }

    void clientsTakeTheLowestFreeSlot()
    {
        QCOMPARE(h->sockets.connect(11), 1);
        QCOMPARE(h->sockets.calls.mid(1), QStringList({QStringLiteral("Close(1)"), QStringLiteral("Accept(1,11)")}));
        QCOMPARE(h->sockets.LocalPort(1), quint16(0));
        QCOMPARE(h->sockets.connect(), 2);
        QCOMPARE(h->sockets.connect(), 3);
        h->sockets.peerCloses(2);
        QCOMPARE(h->sockets.connect(), 2);
        QCOMPARE(h->tables.SlotState.at(2), SLOT_CONNECTED);
    }

    // What a message makes the relay send beyond what was read counts against its sender's input budget, so a long
    // name cannot multiply a client's share of the output and the log.
    void sendersAreChargedWhatTheirMessagesAdd()
    {
        QCOMPARE(h->sockets.connect(), 1);
        const QString name(1000, u'名');
        h->sockets.receive(1, QStringLiteral("NAME:") + name);
        QCOMPARE(h->sockets.charged.at(1), 2 * (QStringLiteral("NAME:0:サーバ+NAME:1:+").size() - 5));
        h->sockets.charged.at(1) = 0;
        h->sockets.receive(1, QStringLiteral("x"));
        QCOMPARE(h->sockets.charged.at(1), 2 * (name.size() + 3));
        h->sockets.charged.at(1) = 0;
        h->sockets.receive(1, QStringLiteral("RNAME:") + QString(100, u'r'));
        QCOMPARE(h->sockets.charged.at(1), 0);
    }

    void tenthClientAndOtherElementsAreIgnored()
    {
        for (int slot = 1; slot <= 9; ++slot)
            QCOMPARE(h->sockets.connect(), slot);
        const auto tables = h->tables.SlotState;
        const QString log = h->log.text();
        QCOMPARE(h->sockets.connect(), -1);
        QCOMPARE(h->tables.SlotState, tables);
        QCOMPARE(h->log.text(), log);

        // With every slot free, a request wrongly taken up would land in slot 1.
        Harness<FakeWinsock> other;
        QVERIFY(other.server.OpenServer());
        const auto freeSlots = other.tables.SlotState;
        other.sockets.calls.clear();
        Q_EMIT other.sockets.connectionRequested(3, 5);
        QCOMPARE(other.tables.SlotState, freeSlots);
        QCOMPARE(other.sockets.calls, QStringList());
    }

    void registrationSendsTheRosterToEverybody()
    {
        QCOMPARE(h->sockets.connect(), 1);
        QCOMPARE(h->sockets.connect(), 2);
        QSignalSpy refreshed(&h->server, &ChatServer::nameListRefreshed);
        h->sockets.receive(1, QStringLiteral("NAME:Taro"));
        QCOMPARE(h->tables.SlotName.at(1), QStringLiteral("Taro"));
        QCOMPARE(refreshed.size(), 1);
        QCOMPARE(h->server.nameList(),
                 QStringList({QStringLiteral("サーバ"), QStringLiteral("Taro"), {}, {}, {}, {}, {}, {}, {}, {}}));
        QCOMPARE(h->logMessages().last(), QStringLiteral("Taroさんが来ました。"));
        QCOMPARE(h->delivered(), QStringList({QStringLiteral("1:NAME:0:サーバ+NAME:1:Taro+NAME:2:+"),
                                              QStringLiteral("2:NAME:0:サーバ+NAME:1:Taro+NAME:2:+")}));
    }

    void nameTakesEverythingAfterTheFirstTag_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("name");
        QTest::newRow("inside a chat line") << QStringLiteral("helloNAME:Jiro") << QStringLiteral("Jiro");
        QTest::newRow("trailing line break") << QStringLiteral("NAME:Ken \r\n") << QStringLiteral("Ken \r\n");
        QTest::newRow("second tag kept") << QStringLiteral("NAME:a NAME:b") << QStringLiteral("a NAME:b");
        QTest::newRow("empty name") << QStringLiteral("NAME:") << QString();
    }

    void nameTakesEverythingAfterTheFirstTag()
    {
        QFETCH(QString, message);
        QFETCH(QString, name);
        QCOMPARE(h->sockets.connect(), 1);
        h->sockets.receive(1, message);
        QCOMPARE(h->tables.SlotName.at(1), name);
        QCOMPARE(h->delivered(), QStringList{QStringLiteral("1:NAME:0:サーバ+NAME:1:") + name + u'+'});
    }

    void leaveNoticeClearsTheNameButKeepsTheSlot()
    {
        twoClientsAndOneNamed(2, QStringLiteral("Hanako"));
        const int logLines = h->logMessages().size();
        h->sockets.receive(2, QStringLiteral("byeRNAME:whatever"));
        QVERIFY(h->tables.SlotName.at(2).isEmpty());
        QCOMPARE(h->tables.SlotState.at(2), SLOT_CONNECTED);
        QCOMPARE(h->logMessages().size(), logLines);
        QCOMPARE(h->delivered(), QStringList({QStringLiteral("1:RNAME:2:"), QStringLiteral("2:RNAME:2:")}));
    }

    void chatLineGoesToEverybodyUnderTheSpeakersName()
    {
        twoClientsAndOneNamed(2, QStringLiteral("Hanako"));
        h->sockets.receive(2, QStringLiteral("hi"));
        QCOMPARE(h->logMessages().last(), QStringLiteral("Hanako > hi"));
        QCOMPARE(h->delivered(), QStringList({QStringLiteral("1:Hanako > hi"), QStringLiteral("2:Hanako > hi")}));
        h->sockets.receive(1, QStringLiteral("  "));
        QCOMPARE(h->delivered(), QStringList({QStringLiteral("1: >   "), QStringLiteral("2: >   ")}));
    }

    void idleMessageIsIgnored()
    {
        QCOMPARE(h->sockets.connect(), 1);
        h->settings.SoundOnMessage = QStringLiteral("TRUE");
        const QString log = h->log.text();
        h->sockets.receive(1, QStringLiteral(" "));
        QCOMPARE(h->log.text(), log);
        QVERIFY(h->player.played.isEmpty());
        QVERIFY(h->delivered().isEmpty());
        QCOMPARE(h->tables.OutMessage, QStringLiteral(" "));
    }

    void readOfNoTextIsNoMessage()
    {
        QVERIFY(writeTestWave(h->dir.filePath(QStringLiteral("recv.wav"))));
        h->settings.SoundOnMessage = QStringLiteral("TRUE");
        twoClientsAndOneNamed(1, QStringLiteral("Taro"));
        const QStringList log = h->logMessages();
        const QByteArray day = cp932::encode(QStringLiteral("日"));

        QCOMPARE(h->sockets.receiveBytes(1, day.left(1)), QString());
        QCOMPARE(h->logMessages(), log);
        QVERIFY(h->player.played.isEmpty());
        QVERIFY(h->delivered().isEmpty());

        QCOMPARE(h->sockets.receiveBytes(1, day.mid(1) + 'x'), QStringLiteral("日x"));
        QCOMPARE(h->logMessages(), log + QStringList{QStringLiteral("Taro > 日x")});
        QCOMPARE(h->player.played.size(), 1);
        QCOMPARE(h->delivered(), QStringList({QStringLiteral("1:Taro > 日x"), QStringLiteral("2:Taro > 日x")}));
    }

    void closedConnectionIsAnnouncedToTheOthers()
    {
        twoClientsAndOneNamed(2, QStringLiteral("Jiro"));
        h->sockets.calls.clear();
        h->sockets.peerCloses(2);
        QCOMPARE(h->logMessages().last(), QStringLiteral("Jiroさんが帰りました。"));
        QCOMPARE(h->tables.SlotState.at(2), SLOT_FREE);
        QVERIFY(h->tables.SlotName.at(2).isEmpty());
        QVERIFY(h->sockets.calls.isEmpty()); // the element is closed only when the slot is reused
        QCOMPARE(h->delivered(), QStringList{QStringLiteral("1:RNAME:2:")});

        h->sockets.receive(1, QStringLiteral("NAME:Taro"));
        h->sockets.receive(1, QStringLiteral("RNAME:")); // a nameless client that registered still departs
        h->delivered();
        h->sockets.peerCloses(1);
        QCOMPARE(h->logMessages().last(), QStringLiteral("さんが帰りました。"));
        h->sockets.peerCloses(1); // a repeated event is not a second departure
        QCOMPARE(h->logMessages().filter(QStringLiteral("帰りました")).size(), 2);
    }

    void operatorDisconnectsAClient()
    {
        QCOMPARE(h->sockets.connectFrom(QHostAddress(QStringLiteral("127.0.0.2"))), 1);
        QCOMPARE(h->sockets.connect(), 2);
        h->sockets.receive(1, QStringLiteral("NAME:Taro"));
        h->delivered();
        QCOMPARE(h->server.clientAddress(1), QHostAddress(QStringLiteral("127.0.0.2")));
        QCOMPARE(h->server.connectedSince(1), h->time.now);
        QVERIFY(h->server.connectionId(1) != 0);
        QVERIFY(h->server.connectionId(2) != h->server.connectionId(1));
        h->sockets.calls.clear();

        QVERIFY(h->server.disconnectClient(1));
        QCOMPARE(h->sockets.calls, QStringList{QStringLiteral("Close(1)")});
        QCOMPARE(h->logMessages().last(), QStringLiteral("Taroさんを切断しました。"));
        QCOMPARE(h->tables.SlotState.at(1), SLOT_FREE);
        QCOMPARE(h->server.nameList().at(1), QString());
        QCOMPARE(h->delivered(), QStringList{QStringLiteral("2:RNAME:1:")});
        QVERIFY(h->server.clientAddress(1).isNull());
        QCOMPARE(h->server.connectionId(1), 0u);

        // Only occupied client slots.
        const QString log = h->log.text();
        for (const int slot : {0, 1, 3, 10, -1})
            QVERIFY(!h->server.disconnectClient(slot));
        QCOMPARE(h->log.text(), log);
        QCOMPARE(h->sockets.calls.size(), 1);
        // The connection has gone: an end reported late is no second departure.
        h->sockets.peerCloses(1);
        QCOMPARE(h->log.text(), log);
        // A connection that takes the slot next is another one.
        const quint64 second = h->server.connectionId(2);
        QCOMPARE(h->sockets.connect(), 1);
        QVERIFY(h->server.connectionId(1) > second);
    }

    // Each peer is kept once, in its plain form: IPv4 as such, IPv6 without the scope naming our interface.
    void banListKeepsPlainAddresses()
    {
        BanList bans;
        QVERIFY(!bans.ban(QHostAddress()));
        QVERIFY(bans.ban(QHostAddress(QStringLiteral("fe80::7%1"))));
        QVERIFY(bans.ban(QHostAddress(QStringLiteral("192.0.2.7"))));
        QCOMPARE(bans.addresses().size(), 2);
        QCOMPARE(bans.addresses().first().toString(), QStringLiteral("fe80::7"));
        QVERIFY(bans.lift(QHostAddress(QStringLiteral("::ffff:192.0.2.7"))));
        QCOMPARE(bans.addresses().size(), 1);
    }

    void banRefusesTheAddressUntilLifted()
    {
        const QHostAddress banned(QStringLiteral("127.0.0.3"));
        const QHostAddress other(QStringLiteral("127.0.0.2"));
        QCOMPARE(h->sockets.connectFrom(other), 1);
        QCOMPARE(h->sockets.connectFrom(banned), 2);
        h->sockets.receive(2, QStringLiteral("NAME:Hanako"));
        h->delivered();
        QSignalSpy bansChanged(&h->server, &ChatServer::bansChanged);

        QVERIFY(h->server.banClient(2));
        QCOMPARE(h->logMessages().last(), QStringLiteral("Hanako（127.0.0.3）を締め出しました。"));
        QCOMPARE(h->delivered(), QStringList{QStringLiteral("1:RNAME:2:")});
        QCOMPARE(h->server.bannedAddresses(), QList<QHostAddress>{banned});
        QCOMPARE(bansChanged.size(), 1);
        QVERIFY(!h->server.banClient(2));

        // Refused before it takes a slot, silently; the same address written as IPv6 too; others come in.
        const QString log = h->log.text();
        QCOMPARE(h->sockets.connectFrom(banned), -1);
        QCOMPARE(h->sockets.connectFrom(QHostAddress(QStringLiteral("::ffff:127.0.0.3"))), -1);
        QCOMPARE(h->log.text(), log);
        QVERIFY(h->delivered().isEmpty());
        QCOMPARE(h->sockets.connectFrom(other), 2);

        QVERIFY(!h->server.liftBan(other));
        QVERIFY(h->server.liftBan(banned));
        QCOMPARE(h->logMessages().last(), QStringLiteral("127.0.0.3 の締め出しを解きました。"));
        QCOMPARE(bansChanged.size(), 2);
        QVERIFY(h->server.bannedAddresses().isEmpty());
        QCOMPARE(h->sockets.connectFrom(banned), 3);

        // A browser behind a gateway on this machine is judged by the address the gateway names, silently.
        QVERIFY(h->server.banClient(3));
        const QString before = h->log.text();
        QCOMPARE(h->sockets.connect(), 3);
        h->sockets.calls.clear();
        h->sockets.nameAddress(3, other);
        QVERIFY(h->sockets.calls.isEmpty());
        h->sockets.nameAddress(3, banned);
        QCOMPARE(h->sockets.calls, QStringList{QStringLiteral("Close(3)")});
        QCOMPARE(h->tables.SlotState.at(3), SLOT_FREE);
        QCOMPARE(h->log.text(), before);
    }

    // A port probe (connect, close, never a word) is nobody: no log line, no sound, and no notice unless a roster
    // showed its slot while it was there, in which case the clients must clear that entry.
    void connectionThatNeverRegisteredLeavesNoTrace_data()
    {
        QTest::addColumn<bool>("overlapsRegistration");
        QTest::newRow("probe beside a registered client") << false;
        QTest::newRow("probe shown in a roster") << true;
    }

    void connectionThatNeverRegisteredLeavesNoTrace()
    {
        QFETCH(bool, overlapsRegistration);
        QVERIFY(writeTestWave(h->dir.filePath(QStringLiteral("recv.wav"))));
        h->settings.SoundOnJoinLeave = QStringLiteral("TRUE");
        QCOMPARE(h->sockets.connect(), 1);
        if (!overlapsRegistration)
            h->sockets.receive(1, QStringLiteral("NAME:Taro"));
        QCOMPARE(h->sockets.connect(), 2);
        if (overlapsRegistration)
            h->sockets.receive(1, QStringLiteral("NAME:Taro"));
        h->delivered();
        const QString log = h->log.text();
        const qsizetype rings = h->player.played.size();
        h->afterAWhile();

        h->sockets.peerCloses(2);
        QCOMPARE(h->log.text(), log);
        QCOMPARE(h->player.played.size(), rings);
        QCOMPARE(h->tables.SlotState.at(2), SLOT_FREE);
        QCOMPARE(h->delivered(), overlapsRegistration ? QStringList{QStringLiteral("1:RNAME:2:")} : QStringList());
        // The next connection in that slot is a new one: its own probe is nobody again.
        QCOMPARE(h->sockets.connect(), 2);
        h->sockets.peerCloses(2);
        QVERIFY(h->delivered().isEmpty());
    }

    void soundsFollowTheirSwitches_data()
    {
        QTest::addColumn<QString>("joinLeave");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("rings");
        QTest::newRow("both off") << QString() << QStringLiteral("FALSE") << 0;
        QTest::newRow("lower case is off") << QStringLiteral("true") << QStringLiteral("True") << 0;
        QTest::newRow("join and leave") << QStringLiteral("TRUE") << QString() << 3;
        QTest::newRow("messages") << QString() << QStringLiteral("TRUE") << 1;
        QTest::newRow("both on") << QStringLiteral("TRUE") << QStringLiteral("TRUE") << 4;
    }

    void soundsFollowTheirSwitches()
    {
        QFETCH(QString, joinLeave);
        QFETCH(QString, message);
        QFETCH(int, rings);
        QVERIFY(writeTestWave(h->dir.filePath(QStringLiteral("recv.wav"))));
        h->settings.SoundOnJoinLeave = joinLeave;
        h->settings.SoundOnMessage = message;
        QCOMPARE(h->sockets.connect(), 1);
        h->sockets.receive(1, QStringLiteral("NAME:Taro"));
        h->afterAWhile();
        h->sockets.receive(1, QStringLiteral("hello"));
        h->afterAWhile();
        h->sockets.receive(1, QStringLiteral("RNAME:"));
        h->afterAWhile();
        h->sockets.peerCloses(1);
        QCOMPARE(h->player.played.size(), rings);
        QVERIFY(!h->log.text().contains(QStringLiteral("音を鳴らせませんでした。")));
    }

    // A burst of joins, leaves and lines rings once; the log shows every one of them.
    void burstRingsOnce()
    {
        QVERIFY(writeTestWave(h->dir.filePath(QStringLiteral("recv.wav"))));
        h->settings.SoundOnJoinLeave = QStringLiteral("TRUE");
        h->settings.SoundOnMessage = QStringLiteral("TRUE");
        for (int slot = 1; slot <= 3; ++slot) {
            QCOMPARE(h->sockets.connect(), slot);
            h->sockets.receive(slot, QStringLiteral("NAME:P%1").arg(slot));
            h->sockets.receive(slot, QStringLiteral("hi"));
        }
        h->sockets.peerCloses(2);
        QCOMPARE(h->player.played.size(), 1);
        QCOMPARE(h->logMessages().size(), 1 + 3 * 2 + 1);
        h->afterAWhile();
        h->sockets.receive(1, QStringLiteral("again"));
        QCOMPARE(h->player.played.size(), 2);
    }

    // A connection that does not register in time is closed, with a line that says why; a registered one that stays
    // silent is not.
    void registrationTimeoutClosesSquatters()
    {
        Harness<FakeWinsock> t;
        t.server.setRegistrationTimeout(std::chrono::seconds(1));
        QVERIFY(t.server.OpenServer());
        QVERIFY(writeTestWave(t.dir.filePath(QStringLiteral("recv.wav"))));
        t.settings.SoundOnJoinLeave = QStringLiteral("TRUE");
        QCOMPARE(t.sockets.connect(), 1); // registers in time, then says nothing
        QCOMPARE(t.sockets.connect(), 2); // shown in slot 1's roster
        t.sockets.receive(1, QStringLiteral("NAME:Taro"));
        t.delivered();
        QCOMPARE(t.sockets.connect(), 3); // nobody ever saw it
        t.sockets.calls.clear();
        t.afterAWhile();
        const qsizetype rings = t.player.played.size();

        const QString line = QStringLiteral("登録がないまま1秒たったため、接続を閉じました。");
        QTRY_COMPARE_WITH_TIMEOUT(t.logMessages().count(line), 2, 5000);
        QCOMPARE(t.sockets.calls, QStringList({QStringLiteral("Close(2)"), QStringLiteral("Close(3)")}));
        QCOMPARE(t.tables.SlotState.at(2), SLOT_FREE);
        QCOMPARE(t.tables.SlotState.at(3), SLOT_FREE);
        QCOMPARE(t.tables.SlotState.at(1), SLOT_CONNECTED);
        QCOMPARE(t.logMessages().filter(QStringLiteral("帰りました")).size(), 0);
        QCOMPARE(t.player.played.size(), rings);
        QCOMPARE(t.delivered(), QStringList{QStringLiteral("1:RNAME:2:")});
        QCOMPARE(ChatServer::RegistrationTimeout, std::chrono::seconds(60));
    }

    void clientAddressIsWhatTheSocketsReport()
    {
        QCOMPARE(h->sockets.connect(), 1);
        h->sockets.addresses.at(1) = QHostAddress(QStringLiteral("192.0.2.7"));
        QCOMPARE(h->server.clientAddress(1), QHostAddress(QStringLiteral("192.0.2.7")));
        h->sockets.peerCloses(1);
        QVERIFY(h->server.clientAddress(1).isNull());
        QVERIFY(h->server.clientAddress(0).isNull());
    }

    void refusedConnectionIsLoggedAndTakesNoSlot()
    {
        const auto tables = h->tables.SlotState;
        Q_EMIT h->sockets.connectionRefused(QHostAddress(QStringLiteral("192.0.2.7")));
        QCOMPARE(h->logMessages().last(), QStringLiteral("192.0.2.7 からの接続が多すぎるため、1 件を断りました。"));
        QCOMPARE(h->tables.SlotState, tables);
    }

    void socketErrorIsLoggedAndNothingElse()
    {
        QCOMPARE(h->sockets.connect(), 1);
        Q_EMIT h->sockets.errorOccurred(1, 7, QStringLiteral("Network unreachable"));
        QCOMPARE(h->logMessages().last(), QStringLiteral("Network unreachable"));
        QCOMPARE(h->tables.SlotState.at(1), SLOT_CONNECTED);
        QVERIFY(h->delivered().isEmpty());
    }

    void operatorTexts()
    {
        h->tables.SlotName.at(0) = QStringLiteral("Boss");
        QCOMPARE(h->server.OperatorChatLine(QStringLiteral(" hi ")), QStringLiteral("Boss >  hi "));
        QCOMPARE(h->server.NicknameAnnouncement(), QStringLiteral("NAME:0:Boss+"));
    }
};

QTEST_GUILESS_MAIN(TestChatServer)
#include "tst_chatserver.moc"
