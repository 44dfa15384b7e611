#include "Harness.h"
#include "KovaProcess.h"
#include "io/Cp932.h"
#include "relay/TcpWinsock.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kova;
using namespace kova::test;

namespace {

// A chat client on loopback that keeps everything it receives.
class Client {
public:
    // From the given loopback address (all of 127.0.0.0/8 is this machine).
    explicit Client(quint16 port, const QString& from = QStringLiteral("127.0.0.1"))
    {
        socket.bind(QHostAddress(from));
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    bool waitConnected() { return socket.waitForConnected(5000); }
    void send(const QString& text) { sendBytes(cp932::encode(text)); }
    void sendBytes(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    QByteArray& received()
    {
        received_ += socket.readAll();
        return received_;
    }
    QString text() { return cp932::decode(received()); }
    bool ended() const { return socket.state() == QAbstractSocket::UnconnectedState; }

    QTcpSocket socket;

private:
    QByteArray received_;
};

constexpr qint64 Ms = 1'000'000;
// A small budget, so that floods stay short: 128 KiB and 2,000 reads a second, bursts of 16 KiB and 4,000 reads.
constexpr InputBudget::Limits Small{
    .bytesPerSecond = 128 * 1024, .burstBytes = 16 * 1024, .messagesPerSecond = 2000, .burstMessages = 4000};

} // namespace

class TestTcpRelay : public QObject {
    Q_OBJECT

    std::unique_ptr<Harness<TcpWinsock>> h;
    quint16 port = 0;
    std::unique_ptr<QSignalSpy> requests;
    std::vector<int> leavers;

    // The budgets' time: it runs, unless a test holds it still and moves it on by hand.
    qint64 budgetOffset = 0;
    qint64 budgetFrozenAt = -1;
    qint64 budgetNow() const
    {
        return budgetFrozenAt >= 0 ? budgetFrozenAt : InputBudget::steadyNanoseconds() - budgetOffset;
    }
    void freezeBudgetTime() { budgetFrozenAt = budgetNow(); }
    void thawBudgetTime()
    {
        budgetOffset = InputBudget::steadyNanoseconds() - budgetFrozenAt;
        budgetFrozenAt = -1;
    }

    // Connects a client and waits until the server has given it the expected slot.
    std::unique_ptr<Client> join(int slot, const QString& from = QStringLiteral("127.0.0.1"))
    {
        auto client = std::make_unique<Client>(port, from);
        if (!client->waitConnected())
            return nullptr;
        for (int i = 0; i < 500 && h->tables.SlotState.at(std::size_t(slot)) != SLOT_CONNECTED; ++i)
            QTest::qWait(10);
        return h->tables.SlotState.at(std::size_t(slot)) == SLOT_CONNECTED ? std::move(client) : nullptr;
    }

    // Joins into slot and registers as name, under the small budget.
    std::unique_ptr<Client> joinWithBudget(int slot, const QString& name)
    {
        h->sockets.setInputLimits(Small);
        auto client = join(slot);
        h->sockets.setInputLimits(InputBudget::Shipped);
        if (client) {
            client->send(QStringLiteral("NAME:") + name);
            if (!QTest::qWaitFor([&] { return client->text().contains(name + u'+'); }, 5000))
                return nullptr;
            client->received().clear();
        }
        return client;
    }

    // Connections from the given loopback addresses (all of 127.0.0.0/8 is this machine), each of which sends bytes
    // and ends its sending side, as a client that leaves does; returns once the server has seen every end. They are
    // made together, so the server takes all of them in before it reads any.
    bool leave(const QStringList& from, const QByteArray& bytes)
    {
        std::vector<int> slots;
        for (int slot = 1; slot < SlotCount && slots.size() < std::size_t(from.size()); ++slot) {
            if (h->tables.SlotState.at(std::size_t(slot)) == SLOT_FREE)
                slots.push_back(slot);
        }
        if (slots.size() < std::size_t(from.size()))
            return false;
        const qsizetype expected = requests->size() + from.size();
        for (const QString& address : from) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            leavers.push_back(fd);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (::inet_pton(AF_INET, qPrintable(address), &local.sin_addr) != 1 ||
                ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
                return false;
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(port);
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
                ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL) != bytes.size() ||
                ::shutdown(fd, SHUT_WR) != 0)
                return false;
        }
        return QTest::qWaitFor(
            [&] {
                return requests->size() == expected && std::all_of(slots.begin(), slots.end(), [&](int slot) {
                           return h->sockets.State(slot) == SocketState::PeerClosed;
                       });
            },
            10000);
    }

    // Joins the person "B" into slot 1 and a reader into slot 2; then the budgets' time stands still, and the
    // connections that follow get the small budget.
    std::unique_ptr<Client> person;
    std::unique_ptr<Client> reader;
    bool personAndReaderThenStillTime()
    {
        person = join(1);
        reader = join(2);
        if (!person || !reader)
            return false;
        person->send(QStringLiteral("NAME:B"));
        if (!QTest::qWaitFor([&] { return reader->received().endsWith("NAME:2:+"); }, 5000))
            return false;
        freezeBudgetTime();
        h->sockets.setInputLimits(Small);
        return true;
    }

    // Everything the reader got before the person's "hello" came through.
    static QByteArray receivedBeforeHello(Client& person, Client& reader)
    {
        person.send(QStringLiteral("hello"));
        if (!QTest::qWaitFor([&] { return reader.received().contains("B > hello"); }, 10000))
            return "no hello";
        return reader.received().left(reader.received().indexOf("B > hello"));
    }

    // Numbered tokens ("000017;") up to size bytes.
    static QByteArray numberedFlood(qsizetype size)
    {
        QByteArray flood;
        for (int i = 0; flood.size() < size; ++i)
            flood += QByteArray::number(i).rightJustified(6, '0') + ';';
        return flood;
    }

    // Everything that speaker said in a stream of "name > text" lines, joined.
    static QByteArray spoken(const QByteArray& stream, const QByteArray& speaker)
    {
        QByteArray said;
        const QByteArray tag = speaker + " > ";
        for (qsizetype at = stream.indexOf(tag); at >= 0;) {
            const qsizetype from = at + tag.size();
            const qsizetype next = stream.indexOf(" > ", from);
            // The next line starts with its speaker's one-letter name.
            const qsizetype end = next < 0 ? stream.size() : next - 1;
            said += stream.mid(from, end - from);
            at = stream.indexOf(tag, end);
        }
        return said;
    }

private Q_SLOTS:
    void init()
    {
        h = std::make_unique<Harness<TcpWinsock>>();
        budgetOffset = 0;
        budgetFrozenAt = -1;
        h->sockets.setInputClock([this] { return budgetNow(); });
        // The connection throttle has tests of its own; here it lets everything through unless a case says otherwise.
        h->sockets.setConnectionThrottle(ConnectionThrottle({.nanosecondsPerConnection = 1, .burst = 1 << 20}));
        requests = std::make_unique<QSignalSpy>(&h->sockets, &Winsock::connectionRequested);
        QVERIFY(h->server.OpenServer(0));
        port = h->sockets.listeningPort();
        QVERIFY(port != 0);
    }

    void cleanup()
    {
        person.reset();
        reader.reset();
        for (const int fd : leavers)
            ::close(fd);
        leavers.clear();
    }

    void registrationAndChatReachEverybody()
    {
        auto taro = join(1);
        auto hanako = join(2);
        QVERIFY(taro && hanako);
        taro->send(QStringLiteral("NAME:太郎"));
        const QByteArray roster = cp932::encode(QStringLiteral("NAME:0:サーバ+NAME:1:太郎+NAME:2:+"));
        QTRY_COMPARE(taro->received(), roster);
        QTRY_COMPARE(hanako->received(), roster);
        QCOMPARE(h->logMessages().last(), QStringLiteral("太郎さんが来ました。"));

        hanako->send(QStringLiteral("こんにちは"));
        const QByteArray line = cp932::encode(QStringLiteral(" > こんにちは"));
        QTRY_COMPARE(taro->received(), roster + line);
        QTRY_COMPARE(hanako->received(), roster + line);

        // What the code page lacks goes out as "?".
        h->tables.OutMessage = h->server.OperatorChatLine(QStringLiteral("ok \U0001F600"));
        h->server.StartBroadcast();
        QTRY_VERIFY(taro->received().endsWith("\x83\x54\x81\x5b\x83\x6f > ok ?"));
    }

    void slotsAreReusedAndTheTenthIsTurnedAway()
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int slot = 1; slot <= 9; ++slot) {
            clients.push_back(join(slot));
            QVERIFY(clients.back());
        }
        Client tenth(port);
        QVERIFY(tenth.waitConnected());
        QTRY_VERIFY_WITH_TIMEOUT(tenth.ended(), 5000);
        QCOMPARE(h->logMessages().size(), 1);

        clients[1]->send(QStringLiteral("NAME:Jiro"));
        QTRY_COMPARE(h->tables.SlotName.at(2), QStringLiteral("Jiro"));
        clients[1]->socket.disconnectFromHost();
        QTRY_COMPARE(h->tables.SlotState.at(2), SLOT_FREE);
        QCOMPARE(h->logMessages().last(), QStringLiteral("Jiroさんが帰りました。"));
        QTRY_VERIFY(clients[0]->received().endsWith("RNAME:2:"));
        QTRY_VERIFY(clients[8]->received().endsWith("RNAME:2:"));
        QVERIFY(h->sockets.State(2) != SocketState::Closed && h->sockets.State(2) != SocketState::Connected);

        // A reset is an ordinary end too: a leave notice (Jiro's roster showed the slot), no error line, and no
        // departure line for a client that never registered.
        ::linger hard{1, 0};
        QVERIFY(::setsockopt(int(clients[3]->socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard) ==
                0);
        clients[3]->socket.abort();
        QTRY_COMPARE(h->tables.SlotState.at(4), SLOT_FREE);
        QTRY_VERIFY(clients[0]->received().endsWith("RNAME:4:"));
        QCOMPARE(h->logMessages().size(), 3);

        auto again = join(2);
        QVERIFY(again);
        QCOMPARE(h->sockets.State(2), SocketState::Connected);
        again->send(QStringLiteral("NAME:Saburo"));
        QTRY_VERIFY(again->text().startsWith(QStringLiteral("NAME:0:サーバ+NAME:1:+NAME:2:Saburo+NAME:3:+NAME:5:+")));
    }

    // Over the throttle, a connection is closed before it takes a slot, and only the refusal is logged; every address
    // has a budget of its own.
    void connectionsBeyondTheThrottleAreRefused()
    {
        freezeBudgetTime();
        h->sockets.setConnectionThrottle(
            ConnectionThrottle({.nanosecondsPerConnection = 2'000 * Ms, .burst = 2}, [this] { return budgetNow(); }));
        auto first = join(1, QStringLiteral("127.0.0.3"));
        auto second = join(2, QStringLiteral("127.0.0.3"));
        QVERIFY(first && second);
        Client third(port, QStringLiteral("127.0.0.3"));
        QVERIFY(third.waitConnected());
        QTRY_VERIFY_WITH_TIMEOUT(third.ended(), 5000);
        QCOMPARE(h->tables.SlotState.at(3), SLOT_FREE);
        QCOMPARE(h->logMessages().last(), QStringLiteral("127.0.0.3 からの接続が多すぎるため、1 件を断りました。"));
        QVERIFY(join(3, QStringLiteral("127.0.0.4")));
        budgetFrozenAt += 2'000 * Ms;
        QVERIFY(join(4, QStringLiteral("127.0.0.3")));
        QCOMPARE(h->logMessages().size(), 2);
    }

    // A gateway on this machine names its browser in a header before anything else: the header is not chat text, and
    // from then on the connection is the browser's. It may come in pieces.
    void gatewayHeaderGivesTheBrowsersAddress_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");
        QTest::newRow("whole") << QByteArrayList{"PROXY TCP4 192.0.2.7 127.0.0.1 50312 8557\r\nNAME:Web"}
                               << QStringLiteral("192.0.2.7") << QStringLiteral("Web");
        QTest::newRow("in pieces") << QByteArrayList{"PRO", "XY TCP6 2001:db8::7 ::1 50312 8557\r", "\nNAME:Split"}
                                   << QStringLiteral("2001:db8::7") << QStringLiteral("Split");
        QTest::newRow("no header") << QByteArrayList{"NAME:Plain"} << QStringLiteral("127.0.0.1")
                                   << QStringLiteral("Plain");
        QTest::newRow("a beginning that is none")
            << QByteArrayList{"PRO", "MISE NAME:Pr"} << QStringLiteral("127.0.0.1") << QStringLiteral("Pr");
    }

    void gatewayHeaderGivesTheBrowsersAddress()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QString, address);
        QFETCH(QString, name);
        auto gateway = join(1);
        QVERIFY(gateway);
        for (const QByteArray& piece : pieces) {
            gateway->sendBytes(piece);
            QTest::qWait(50); // the server reads each piece apart
        }
        QTRY_COMPARE(h->tables.SlotName.at(1), name);
        QCOMPARE(h->logMessages().last(), name + QStringLiteral("さんが来ました。"));
        QCOMPARE(h->server.clientAddress(1), QHostAddress(address));
        QTRY_VERIFY(gateway->received().startsWith("NAME:0:"));
    }

    void malformedHeaderIsClosedAndLogged()
    {
        auto gateway = join(1);
        QVERIFY(gateway);
        gateway->sendBytes("PROXY TCP4 192.0.2.300 127.0.0.1 50312 8557\r\nNAME:Web");
        QTRY_VERIFY_WITH_TIMEOUT(gateway->ended(), 5000);
        QCOMPARE(h->tables.SlotState.at(1), SLOT_FREE);
        QCOMPARE(h->logMessages().mid(1),
                 QStringList{QStringLiteral("127.0.0.1 から届いた PROXY ヘッダが正しくないため、接続を閉じました。")});
    }

    // A browser is held to its own address's throttle, and the gateway's connection is not counted against the
    // gateway's address.
    void browsersAreThrottledByTheirOwnAddress()
    {
        freezeBudgetTime();
        h->sockets.setConnectionThrottle(
            ConnectionThrottle({.nanosecondsPerConnection = 2'000 * Ms, .burst = 2}, [this] { return budgetNow(); }));
        std::vector<std::unique_ptr<Client>> browsers;
        for (int slot = 1; slot <= 3; ++slot) {
            browsers.push_back(join(slot));
            QVERIFY(browsers.back());
            browsers.back()->sendBytes("PROXY TCP4 192.0.2.7 127.0.0.1 5031" + QByteArray::number(slot) + " 8557\r\n");
            if (slot < 3)
                QTRY_COMPARE(h->server.clientAddress(slot), QHostAddress(QStringLiteral("192.0.2.7")));
        }
        QTRY_VERIFY_WITH_TIMEOUT(browsers.back()->ended(), 5000);
        QCOMPARE(h->logMessages().last(), QStringLiteral("192.0.2.7 からの接続が多すぎるため、1 件を断りました。"));
        QCOMPARE(h->tables.SlotState.at(3), SLOT_FREE);
        QVERIFY(join(3));
        QVERIFY(join(4));
    }

    void splitDoubleByteCharacterIsNotCorrupted()
    {
        auto client = join(1);
        QVERIFY(client);
        const QByteArray bytes = cp932::encode(QStringLiteral("サーバ"));
        client->sendBytes(bytes.left(3));
        QTRY_COMPARE(h->logMessages().size(), 2);
        client->sendBytes(bytes.mid(3));
        QTRY_COMPARE(h->logMessages().size(), 3);
        QCOMPARE(h->logMessages().mid(1), QStringList({QStringLiteral(" > サ"), QStringLiteral(" > ーバ")}));

        // A read of nothing but a lead byte is no message: no empty line goes out before the character's.
        QSignalSpy reads(&h->sockets, &Winsock::dataArrived);
        const QByteArray day = cp932::encode(QStringLiteral("日"));
        client->sendBytes(day.left(1));
        QTRY_COMPARE(reads.size(), 1);
        client->sendBytes(day.mid(1) + 'x');
        QTRY_COMPARE(client->received(), cp932::encode(QStringLiteral(" > サ > ーバ > 日x")));
        QCOMPARE(h->logMessages().mid(3), QStringList{QStringLiteral(" > 日x")});
    }

    void bytesGoOutAsWindowsConvertsThem()
    {
        auto client = join(1);
        QVERIFY(client);
        // The five single bytes of Windows' own come back unchanged; a lead byte without its trail byte becomes
        // "・" and the space after it stays.
        client->sendBytes(QByteArray::fromHex("80a0fdfeff812041"));
        QByteArray expected = " > " + QByteArray::fromHex("80a0fdfeff81452041");
        QTRY_COMPARE(client->received(), expected);
        // The operator's wave dash as an input method on Linux types it.
        QVERIFY(h->server.SendOperatorLine(QStringLiteral("よろしく〜")));
        expected += cp932::encode(QStringLiteral("サーバ > よろしく")) + QByteArray::fromHex("8160");
        QTRY_COMPARE(client->received(), expected);
    }

    // The client cut off has spent its budget too: a new connection from its address starts from what it left.
    void clientThatStopsReadingIsCutOffAndHoldsNobodyUp()
    {
        freezeBudgetTime();
        // Alice sends far more than a client's budget allows: this is about output only.
        h->sockets.setInputLimits(
            {.bytesPerSecond = 1 << 30, .burstBytes = 1 << 30, .messagesPerSecond = 1 << 20, .burstMessages = 1 << 20});
        auto alice = join(1);
        h->sockets.setInputLimits(InputBudget::Shipped);
        auto bob = join(2);
        QVERIFY(alice && bob);
        // Connects, sends more than its burst, and then never reads.
        h->sockets.setInputLimits(Small);
        const int stalled = connectWithSmallWindow(port);
        QVERIFY(stalled >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(h->tables.SlotState.at(3), SLOT_CONNECTED, 5000);
        h->sockets.setInputLimits(InputBudget::Shipped);
        const QByteArray spent(Small.burstBytes * 3 / 2, 'y');
        QCOMPARE(::send(stalled, spent.constData(), std::size_t(spent.size()), MSG_DONTWAIT), spent.size());
        QTRY_VERIFY(bob->received().count('y') >= Small.burstBytes);

        // About 8 MiB to every client: far more than the pending limit plus the kernel's buffers.
        const QString payload(32 * 1024, u'x');
        constexpr int Messages = 256;
        int sent = 0;
        for (int round = 0; round < 2000 && sent < Messages; ++round) {
            alice->send(payload);
            ++sent;
            QTRY_VERIFY_WITH_TIMEOUT(bob->received().count('x') >= sent * payload.size() * 9 / 10, 10000);
        }
        QCOMPARE(sent, Messages);
        QTRY_COMPARE(h->tables.SlotState.at(3), SLOT_FREE);
        QVERIFY(leave({QStringLiteral("127.0.0.1")}, "zz"));
        alice->send(QStringLiteral("END"));
        const qsizetype expected = qsizetype(Messages) * payload.size();
        QTRY_VERIFY_WITH_TIMEOUT(bob->received().endsWith("END"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(alice->received().endsWith("END"), 20000);
        QCOMPARE(bob->received().count('x'), expected);
        QCOMPARE(alice->received().count('x'), expected);
        QVERIFY(!bob->received().contains(" > zz"));
        ::close(stalled);
    }

    // A flood of 256 KiB under the small budget is held back and resumed many times and loses nothing, while another
    // client's line overtakes it. The budgets' time stands still until that line has come through: however fast or
    // slow the machine, the flood cannot have got further than its burst and the one read that overdrew it.
    void heldBackFlooderLosesNothingWhileOthersOvertakeIt()
    {
        auto flooder = joinWithBudget(1, QStringLiteral("A"));
        person = join(2);
        reader = join(3);
        QVERIFY(flooder && person && reader);
        person->send(QStringLiteral("NAME:B"));
        QTRY_VERIFY(reader->received().endsWith("NAME:3:+"));
        reader->received().clear();

        freezeBudgetTime();
        const QByteArray flood = numberedFlood(256 * 1024);
        flooder->sendBytes(flood);
        QTRY_VERIFY(reader->received().contains("A > "));
        const QByteArray before = spoken(receivedBeforeHello(*person, *reader), "A");
        QVERIFY2(before.size() <= Small.burstBytes + TcpWinsock::ReadBufferSize,
                 qPrintable(QString::number(before.size())));
        QVERIFY(flood.startsWith(before));

        thawBudgetTime();
        QTRY_VERIFY_WITH_TIMEOUT(spoken(reader->received(), "A") == flood, 20000);
        QCOMPARE(spoken(flooder->received(), "A"), flood);
        QVERIFY(!flooder->ended());
    }

    // A client that connects, sends more than its burst and leaves, again and again, gets no more through than its
    // first connection did: each new connection from its address starts from the budget the last one left, two
    // opened together included, and one that stayed idle meanwhile does not undo that when it ends. The budgets'
    // time moves only by hand, a few milliseconds a round.
    void reconnectingDoesNotRefillTheBudget()
    {
        QVERIFY(personAndReaderThenStillTime());
        auto idle = join(3);
        QVERIFY(idle);

        const QByteArray flood(Small.burstBytes * 3 / 2, 'x');
        const QStringList flooder{QStringLiteral("127.0.0.1")};
        for (int round = 0; round < 4; ++round) {
            QVERIFY(leave(flooder, flood));
            budgetFrozenAt += 5 * Ms;
        }
        QCOMPARE(::shutdown(int(idle->socket.socketDescriptor()), SHUT_WR), 0);
        QTRY_COMPARE(h->sockets.State(3), SocketState::PeerClosed);
        QVERIFY(leave(flooder + flooder, flood));
        const QByteArray before = receivedBeforeHello(*person, *reader);
        QVERIFY2(before.count('x') <= flood.size(), qPrintable(QString::number(before.count('x'))));

        // Nothing of it is lost: it comes at the budget's rate.
        thawBudgetTime();
        QTRY_COMPARE_WITH_TIMEOUT(reader->received().count('x'), 6 * flood.size(), 20000);
    }

    // The spent budgets of a bounded number of addresses are remembered, the least recently ended forgotten first.
    void rememberedBudgetsAreBoundedOldestFirst()
    {
        QVERIFY(personAndReaderThenStillTime());

        const QByteArray flood(Small.burstBytes * 3 / 2, 'x');
        QVERIFY(leave({QStringLiteral("127.0.0.2")}, flood));
        QVERIFY(leave({QStringLiteral("127.0.0.3")}, flood));
        // Each of the others spends a little, so its budget is remembered too.
        QStringList others;
        for (std::size_t i = 0; i < TcpWinsock::RememberedPeers - 1; ++i)
            others << QStringLiteral("127.0.1.%1").arg(i + 1);
        for (qsizetype at = 0; at < others.size(); at += 7)
            QVERIFY(leave(others.mid(at, 7), "-"));
        // Connections that spent nothing are not remembered, and so push out nobody.
        QStringList idle;
        for (std::size_t i = 0; i < TcpWinsock::RememberedPeers; ++i)
            idle << QStringLiteral("127.0.2.%1").arg(i + 1);
        for (qsizetype at = 0; at < idle.size(); at += 7)
            QVERIFY(leave(idle.mid(at, 7), {}));

        // 127.0.0.2 has been forgotten and starts with a full budget; 127.0.0.3 is remembered and is held back.
        QVERIFY(leave({QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")}, "zz"));
        QCOMPARE(receivedBeforeHello(*person, *reader).count(" > zz"), 1);
    }

    // Bytes still unread when a held-back client leaves count against its address as if they had been read.
    void unreadBytesOfAClientThatLeavesAreCharged()
    {
        QVERIFY(personAndReaderThenStillTime());
        auto flooder = join(3);
        QVERIFY(flooder);
        // Exactly the burst goes through; then nothing is read, however long the client waits.
        flooder->sendBytes(QByteArray(Small.burstBytes, 'x'));
        QTRY_COMPARE(reader->received().count('x'), Small.burstBytes);
        flooder->sendBytes(QByteArray(4096, 'y'));
        QCOMPARE(::shutdown(int(flooder->socket.socketDescriptor()), SHUT_WR), 0);
        QTRY_COMPARE(h->sockets.State(3), SocketState::PeerClosed);

        // The 4,096 unread bytes take 31 ms to refill; a new connection 10 ms later is still held back.
        budgetFrozenAt += 10 * Ms;
        QVERIFY(leave({QStringLiteral("127.0.0.1")}, "zz"));
        QCOMPARE(receivedBeforeHello(*person, *reader).count(" > zz"), 0);
    }

    void flooderThatLeavesWhileHeldBackIsDeliveredBeforeItsLeave()
    {
        auto flooder = joinWithBudget(1, QStringLiteral("A"));
        reader = join(2);
        QVERIFY(flooder && reader);

        const QByteArray flood = numberedFlood(256 * 1024);
        flooder->sendBytes(flood);
        // Done sending once all of it is with the kernel; the flooder goes on reading what comes back.
        QTRY_COMPARE_WITH_TIMEOUT(flooder->socket.bytesToWrite(), 0, 20000);
        QCOMPARE(::shutdown(int(flooder->socket.socketDescriptor()), SHUT_WR), 0);
        QTRY_VERIFY_WITH_TIMEOUT(reader->received().endsWith("RNAME:1:"), 20000);
        QCOMPARE(spoken(reader->received().chopped(8), "A"), flood);
        QCOMPARE(h->logMessages().last(), QStringLiteral("Aさんが帰りました。"));
        QCOMPARE(h->tables.SlotState.at(1), SLOT_FREE);
    }
};

QTEST_GUILESS_MAIN(TestTcpRelay)
#include "tst_tcprelay.moc"
