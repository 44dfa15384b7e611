#include "Harness.h"
#include "KovaProcess.h"
#include "io/Cp932.h"
#include "relay/TcpWinsock.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>
#include <unistd.h>

using namespace kova;
using namespace kova::test;

namespace {

// A chat client on loopback that keeps everything it receives.
class Client {
public:
    explicit Client(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }

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

} // namespace

class TestTcpRelay : public QObject {
    Q_OBJECT

    std::unique_ptr<Harness<TcpWinsock>> h;
    quint16 port = 0;

    // Connects a client and waits until the server has given it the expected slot.
    std::unique_ptr<Client> join(int slot)
    {
        auto client = std::make_unique<Client>(port);
        if (!client->waitConnected())
            return nullptr;
        for (int i = 0; i < 500 && h->tables.SlotState.at(std::size_t(slot)) != SLOT_CONNECTED; ++i)
            QTest::qWait(10);
        return h->tables.SlotState.at(std::size_t(slot)) == SLOT_CONNECTED ? std::move(client) : nullptr;
    }

    // Joins into slot and registers as name, under a small budget: 128 KiB and 2,000 reads a second, bursts of
    // 16 KiB and 4,000 reads.
    std::unique_ptr<Client> joinWithBudget(int slot, const QString& name)
    {
        h->sockets.setInputLimits(
            {.bytesPerSecond = 128 * 1024, .burstBytes = 16 * 1024, .messagesPerSecond = 2000, .burstMessages = 4000});
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
        QVERIFY(h->server.OpenServer(0));
        port = h->sockets.listeningPort();
        QVERIFY(port != 0);
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

        // A reset is an ordinary end too: a leave notice, no error line.
        ::linger hard{1, 0};
        QVERIFY(::setsockopt(int(clients[3]->socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard) ==
                0);
        clients[3]->socket.abort();
        QTRY_COMPARE(h->tables.SlotState.at(4), SLOT_FREE);
        QCOMPARE(h->logMessages().size(), 4);
        QCOMPARE(h->logMessages().last(), QStringLiteral("さんが帰りました。"));

        auto again = join(2);
        QVERIFY(again);
        QCOMPARE(h->sockets.State(2), SocketState::Connected);
        again->send(QStringLiteral("NAME:Saburo"));
        QTRY_VERIFY(again->text().startsWith(QStringLiteral("NAME:0:サーバ+NAME:1:+NAME:2:Saburo+NAME:3:+NAME:5:+")));
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

    void clientThatStopsReadingIsCutOffAndHoldsNobodyUp()
    {
        // Alice sends far more than a client's budget allows: this is about output only.
        h->sockets.setInputLimits(
            {.bytesPerSecond = 1 << 30, .burstBytes = 1 << 30, .messagesPerSecond = 1 << 20, .burstMessages = 1 << 20});
        auto alice = join(1);
        h->sockets.setInputLimits(InputBudget::Shipped);
        auto bob = join(2);
        QVERIFY(alice && bob);
        // Connects and then never reads.
        const int stalled = connectWithSmallWindow(port);
        QVERIFY(stalled >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(h->tables.SlotState.at(3), SLOT_CONNECTED, 5000);

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
        alice->send(QStringLiteral("END"));
        const qsizetype expected = qsizetype(Messages) * payload.size();
        QTRY_VERIFY_WITH_TIMEOUT(bob->received().endsWith("END"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(alice->received().endsWith("END"), 20000);
        QCOMPARE(bob->received().count('x'), expected);
        QCOMPARE(alice->received().count('x'), expected);
        QCOMPARE(h->tables.SlotState.at(3), SLOT_FREE);
        QVERIFY(bob->received().contains("RNAME:3:"));
        ::close(stalled);
    }

    // With a budget of 128 KiB a second (bursts of 16 KiB), a flood of 256 KiB takes the server about two seconds
    // to read: the flooder is held back and resumed many times, and loses nothing.
    void heldBackFlooderLosesNothingWhileOthersOvertakeIt()
    {
        auto flooder = joinWithBudget(1, QStringLiteral("A"));
        auto person = join(2);
        auto reader = join(3);
        QVERIFY(flooder && person && reader);
        person->send(QStringLiteral("NAME:B"));
        QTRY_VERIFY(reader->received().endsWith("NAME:3:+"));
        reader->received().clear();

        const QByteArray flood = numberedFlood(256 * 1024);
        flooder->sendBytes(flood);
        QTRY_VERIFY(reader->received().contains("A > "));
        person->send(QStringLiteral("hello"));
        QTRY_VERIFY_WITH_TIMEOUT(spoken(reader->received(), "A") == flood, 20000);

        // The person's line came between the flood's pieces, not after all of it.
        const QByteArray stream = reader->received();
        const qsizetype hello = stream.indexOf("B > hello");
        QVERIFY(hello > 0);
        QVERIFY2(spoken(stream.left(hello), "A").size() < flood.size() / 2,
                 qPrintable(QString::number(spoken(stream.left(hello), "A").size())));
        QCOMPARE(spoken(flooder->received(), "A"), flood);
        QVERIFY(!flooder->ended());
    }

    void flooderThatLeavesWhileHeldBackIsDeliveredBeforeItsLeave()
    {
        auto flooder = joinWithBudget(1, QStringLiteral("A"));
        auto reader = join(2);
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
