#include "Harness.h"
#include "NamespacedTestMain.h"
#include "RunCommand.h"
#include "relay/TcpWinsock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

namespace {

const QString Peer = u"kova-peer-%1"_s.arg(QCoreApplication::applicationPid());

// Connects from inside the peer's network namespace; the socket stays there wherever it is used from.
int connectFromPeer(quint16 port)
{
    int fd = -1;
    std::thread([&] {
        const int ns = ::open(qPrintable(u"/run/netns/"_s + Peer), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0)
            return;
        ::close(ns);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        ::inet_pton(AF_INET, "10.57.0.1", &server.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            ::close(fd);
            fd = -1;
        }
    }).join();
    return fd;
}

} // namespace

// A client whose machine vanishes without closing its connection: a second network namespace joined by a
// veth pair, whose link is then cut.
class TestDeadPeer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(run(u"ip"_s, {u"netns"_s, u"add"_s, Peer}, &error), qPrintable(error));
        for (const QStringList& command : {
                 QStringList{u"link"_s, u"add"_s, u"kova-s"_s, u"type"_s, u"veth"_s, u"peer"_s, u"name"_s, u"kova-c"_s,
                             u"netns"_s, Peer},
                 QStringList{u"addr"_s, u"add"_s, u"10.57.0.1/24"_s, u"dev"_s, u"kova-s"_s},
                 QStringList{u"link"_s, u"set"_s, u"kova-s"_s, u"up"_s},
                 QStringList{u"-n"_s, Peer, u"addr"_s, u"add"_s, u"10.57.0.2/24"_s, u"dev"_s, u"kova-c"_s},
                 QStringList{u"-n"_s, Peer, u"link"_s, u"set"_s, u"kova-c"_s, u"up"_s},
             })
            QVERIFY2(run(u"ip"_s, command, &error), qPrintable(error));
    }

    void cleanupTestCase() { run(u"ip"_s, {u"netns"_s, u"delete"_s, Peer}); }

    void vanishedClientIsHandledAsClosed()
    {
        Harness<TcpWinsock> h;
        h.sockets.setKeepAlive({1, 1, 2});
        QVERIFY(h.server.OpenServer(0));
        const quint16 port = h.sockets.listeningPort();

        QTcpSocket observer;
        observer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(observer.waitForConnected(5000));
        QTRY_COMPARE(h.tables.SlotState.at(1), SLOT_CONNECTED);

        const int ghost = connectFromPeer(port);
        QVERIFY(ghost >= 0);
        QTRY_COMPARE(h.tables.SlotState.at(2), SLOT_CONNECTED);
        QCOMPARE(::send(ghost, "NAME:Ghost", 10, 0), 10);
        QTRY_COMPARE(h.tables.SlotName.at(2), u"Ghost"_s);

        QString error;
        QVERIFY2(run(u"ip"_s, {u"-n"_s, Peer, u"link"_s, u"set"_s, u"kova-c"_s, u"down"_s}, &error), qPrintable(error));
        // Idle 1 s, then 2 probes 1 s apart: well within 20 s.
        QElapsedTimer detection;
        detection.start();
        QTRY_COMPARE_WITH_TIMEOUT(h.tables.SlotState.at(2), SLOT_FREE, 20000);
        qInfo("detected after %lld ms; log: %s", detection.elapsed(), qPrintable(h.logMessages().join(u" | ")));
        QVERIFY(h.logMessages().contains(u"Ghostさんが帰りました。"_s));
        QByteArray seen;
        QTRY_VERIFY((seen += observer.readAll()).contains("RNAME:2:"));
        ::close(ghost);
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestDeadPeer, false)

#include "tst_deadpeer.moc"
