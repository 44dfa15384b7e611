// The relay on a thread of its own, as the program runs it: clients over real sockets on port 557, the operator's
// lines from this (the window's) thread, and the shutdown sequence.
#include "NamespacedTestMain.h"
#include "TimeSlice.h"
#include "app/Application.h"
#include "io/Cp932.h"
#include "io/ShortTimeSlices.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

#include <memory>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

namespace {

// The markers <A1>, <B7>, <op3>, ... in the order they appear.
QStringList markers(const QString& text)
{
    static const QRegularExpression marker(u"<[A-Za-z]+[0-9]+>"_s);
    QStringList found;
    for (auto it = marker.globalMatch(text); it.hasNext();)
        found.append(it.next().captured());
    return found;
}

// A registered client from an address of its own; this thread waits on it while the relay runs on its own.
struct Client {
    explicit Client(const QString& name, quint32 address)
    {
        socket.bind(QHostAddress(address));
        socket.connectToHost(QHostAddress::LocalHost, ServerPort);
        if (!socket.waitForConnected(5000))
            return;
        socket.write(cp932::encode(u"NAME:"_s + name));
        readUntil([&] { return received.contains(name + u'+'); });
    }
    // Reads until done() or about five seconds have passed.
    template <typename Done> void readUntil(Done done)
    {
        for (int i = 0; i < 50 && !done() && socket.state() == QAbstractSocket::ConnectedState; ++i) {
            if (socket.waitForReadyRead(100))
                received += cp932::decode(socket.readAll());
        }
    }
    QTcpSocket socket;
    QString received;
};

// The id of this process's thread with that name, or 0.
int threadNamed(const QString& name)
{
    for (const QString& tid : QDir(u"/proc/self/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(u"/proc/self/task/"_s + tid + u"/comm"_s);
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toUtf8())
            return tid.toInt();
    }
    return 0;
}

QString savedLog(const QString& directory)
{
    QString text;
    for (const QFileInfo& info : QDir(directory).entryInfoList({u"*.log"_s}, QDir::Files, QDir::Name)) {
        QFile file(info.filePath());
        if (file.open(QIODevice::ReadOnly))
            text += cp932::decode(file.readAll());
    }
    return text;
}

} // namespace

class TestRelayThread : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Lines from three clients and the operator, as fast as they come: every client gets them in one order, and
    // the log has them in that order too.
    void everyoneSeesOneOrderAndTheLogKeepsIt()
    {
        QTemporaryDir directory;
        Application app{QDir(directory.path())};
        QVERIFY(app.start());
        app.runRelayOnItsThread();
        QVERIFY(app.server().thread() != QThread::currentThread());
        std::vector<std::unique_ptr<Client>> clients;
        for (const QString& name : {u"A"_s, u"B"_s, u"C"_s})
            clients.push_back(std::make_unique<Client>(name, 0x7F000002 + quint32(clients.size())));
        QVERIFY(clients.back()->received.contains(u"C+"_s));

        constexpr int Rounds = 60;
        for (int round = 1; round <= Rounds; ++round) {
            for (std::size_t c = 0; c < clients.size(); ++c)
                clients[c]->socket.write(QByteArray(1, char('A' + c)).prepend('<') + QByteArray::number(round) + '>');
            for (const auto& client : clients)
                client->socket.flush();
            if (round % 3 == 0)
                QVERIFY(app.server().SendOperatorLine(u"<op%1>"_s.arg(round)));
        }
        const int expected = Rounds * 3 + Rounds / 3;
        for (const auto& client : clients)
            client->readUntil([&] { return markers(client->received).size() >= expected; });
        const QStringList order = markers(clients.front()->received);
        QCOMPARE(order.size(), expected);
        for (const auto& client : clients)
            QCOMPARE(markers(client->received), order);
        // The operator's lines went out in the order given.
        QVERIFY(order.indexOf(u"<op3>"_s) < order.indexOf(u"<op6>"_s));

        app.shutdown();
        QCOMPARE(markers(savedLog(directory.path())), order);
    }

    // The operator's choice of sounds, made on this thread, is what the relay goes by: with no sound file here, each
    // ring it tries logs its failure.
    void theSoundChoiceReachesTheRelay()
    {
        QTemporaryDir directory;
        Application app{QDir(directory.path())};
        QVERIFY(app.start());
        app.runRelayOnItsThread();
        app.preferences().SoundsMsg();
        Client client(u"A"_s, 0x7F000007);
        client.socket.write("<a1>");
        client.readUntil([&] { return client.received.contains(u"<a1>"_s); });
        app.shutdown();
        QVERIFY(savedLog(directory.path()).contains(u"音を鳴らせませんでした。"_s));
    }

    // The relay's thread asks for short time slices, and keeps the nice value it was started with.
    void theRelayAsksForShortTimeSlices()
    {
        // The relay's thread starts with this thread's nice value; the test's thread keeps the higher one.
        QCOMPARE(setpriority(PRIO_PROCESS, 0, qMin(getpriority(PRIO_PROCESS, 0) + 1, 19)), 0);
        const int nice = getpriority(PRIO_PROCESS, 0);
        QTemporaryDir directory;
        Application app{QDir(directory.path())};
        QVERIFY(app.start());
        QCOMPARE(threadNamed(u"relay"_s), 0);
        app.runRelayOnItsThread();
        // Answered on the relay's thread, so its start is over.
        app.server().nameList();
        const int relay = threadNamed(u"relay"_s);
        QVERIFY(relay != 0);
        QCOMPARE(getpriority(PRIO_PROCESS, relay), nice);
        const quint64 relaySlice = timeSliceOf(getpid(), relay);
        const quint64 windowSlice = timeSliceOf(getpid(), getpid());
        app.shutdown();
        if (!kernelKeepsTimeSlices())
            QSKIP("this kernel does not keep the time slice a thread asks for");
        QCOMPARE(relaySlice, ShortTimeSliceNs);
        // The window's thread keeps the kernel's usual slice.
        QVERIFY(windowSlice > ShortTimeSliceNs);
    }

    // The shutdown while clients still send: whatever was relayed is in the saved log, every client sees its
    // connection end, and the relay is back on this thread, where asking it still answers.
    void shutdownSavesWhatWasRelayedAndEndsEveryConnection()
    {
        QTemporaryDir directory;
        Application app{QDir(directory.path())};
        QVERIFY(app.start());
        app.runRelayOnItsThread();
        Client sender(u"S"_s, 0x7F000005);
        Client watcher(u"W"_s, 0x7F000006);
        QVERIFY(watcher.received.contains(u"W+"_s));
        // One marker per message, most of them still on the way when the shutdown comes.
        for (int i = 1; i <= 300; ++i) {
            sender.socket.write("<s" + QByteArray::number(i) + '>');
            sender.socket.flush();
        }
        watcher.readUntil([&] { return markers(watcher.received).size() >= 20; });
        app.shutdown();
        QCOMPARE(app.server().thread(), QThread::currentThread());
        QCOMPARE(app.server().nameList().size(), SlotCount);

        for (Client* client : {&sender, &watcher}) {
            client->readUntil([] { return false; });
            QCOMPARE(client->socket.state(), QAbstractSocket::UnconnectedState);
        }
        const QStringList relayed = markers(watcher.received);
        QVERIFY(relayed.size() >= 20);
        const QStringList logged = markers(savedLog(directory.path()));
        QCOMPARE(logged.mid(0, relayed.size()), relayed);
    }
};

// Port 557, in a network namespace of its own (as root).
KOVA_NAMESPACED_TEST_MAIN_WITH(QApplication, TestRelayThread, false)

#include "tst_relaythread.moc"
