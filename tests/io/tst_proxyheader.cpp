#include "io/ProxyHeader.h"

#include <QTest>

using namespace kova;

using Outcome = ProxyHeader::Outcome;
Q_DECLARE_METATYPE(ProxyHeader::Outcome)

class TestProxyHeader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void read_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<bool>("final");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("length");
        const QString local = QStringLiteral("127.0.0.1");
        const QByteArray v4 = "PROXY TCP4 192.0.2.7 127.0.0.1 50312 557\r\n";
        QTest::newRow("IPv4, chat behind it")
            << v4 + "NAME:Taro" << local << false << Outcome::Accepted << QStringLiteral("192.0.2.7") << int(v4.size());
        QTest::newRow("IPv6 from ::1") << QByteArray("PROXY TCP6 2001:db8::7 ::1 1 65535\r\n") << QStringLiteral("::1")
                                       << false << Outcome::Accepted << QStringLiteral("2001:db8::7") << 36;
        QTest::newRow("anywhere in 127/8") << v4 << QStringLiteral("127.0.0.5") << false << Outcome::Accepted
                                           << QStringLiteral("192.0.2.7") << int(v4.size());
        QTest::newRow("unknown keeps the peer")
            << QByteArray("PROXY UNKNOWN\r\nx") << local << false << Outcome::Accepted << QString() << 15;
        QTest::newRow("from the network")
            << v4 << QStringLiteral("192.0.2.9") << false << Outcome::Untrusted << QString() << 0;
        QTest::newRow("from the network, only the tag yet")
            << QByteArray("PROXY ") << QStringLiteral("192.0.2.9") << false << Outcome::Untrusted << QString() << 0;
        QTest::newRow("a client's own text")
            << QByteArray("NAME:Taro") << local << false << Outcome::Absent << QString() << 0;
        QTest::newRow("network client's own text")
            << QByteArray("PROXIMA") << QStringLiteral("192.0.2.9") << false << Outcome::Absent << QString() << 0;
        QTest::newRow("tag cut short") << QByteArray("PROX") << local << false << Outcome::Incomplete << QString() << 0;
        QTest::newRow("tag cut short, nothing more comes")
            << QByteArray("PROX") << local << true << Outcome::Absent << QString() << 0;
        QTest::newRow("line cut short") << v4.left(30) << local << false << Outcome::Incomplete << QString() << 0;
        QTest::newRow("line cut short, nothing more comes")
            << v4.left(30) << local << true << Outcome::Malformed << QString() << 0;
        QTest::newRow("no end within 107 bytes") << QByteArray("PROXY TCP4 ") + QByteArray(96, '1') << local << false
                                                 << Outcome::Malformed << QString() << 0;
        QTest::newRow("longest that fits") << QByteArray("PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                                                         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n")
                                           << local << false << Outcome::Accepted << QString() << 107;
        const QByteArray portZero = "PROXY TCP4 192.0.2.7 127.0.0.1 0 557\r\n";
        QTest::newRow("port 0") << portZero << local << false << Outcome::Accepted << QStringLiteral("192.0.2.7")
                                << int(portZero.size());
        const auto malformed = [&](const char* name, const QByteArray& line) {
            QTest::newRow(name) << line << local << false << Outcome::Malformed << QString() << 0;
        };
        malformed("lower case family", "PROXY tcp4 192.0.2.7 127.0.0.1 50312 557\r\n");
        malformed("IPv6 in TCP4", "PROXY TCP4 2001:db8::7 127.0.0.1 50312 557\r\n");
        malformed("IPv4 in TCP6", "PROXY TCP6 192.0.2.7 ::1 50312 557\r\n");
        malformed("short IPv4", "PROXY TCP4 192.0.2 127.0.0.1 50312 557\r\n");
        malformed("octet over 255", "PROXY TCP4 192.0.2.256 127.0.0.1 50312 557\r\n");
        malformed("leading zero octet", "PROXY TCP4 192.0.2.07 127.0.0.1 50312 557\r\n");
        malformed("port over 65535", "PROXY TCP4 192.0.2.7 127.0.0.1 65536 557\r\n");
        malformed("leading zero port", "PROXY TCP4 192.0.2.7 127.0.0.1 050312 557\r\n");
        malformed("missing port", "PROXY TCP4 192.0.2.7 127.0.0.1 50312\r\n");
        malformed("extra field", "PROXY TCP4 192.0.2.7 127.0.0.1 50312 557 x\r\n");
        malformed("two spaces", "PROXY TCP4  192.0.2.7 127.0.0.1 50312 557\r\n");
        malformed("bare LF", "PROXY TCP4 192.0.2.7 127.0.0.1 50312 557\n\r\n");
        malformed("scoped IPv6", "PROXY TCP6 fe80::1%eth0 ::1 50312 557\r\n");
        malformed("IPv4 written as IPv6", "PROXY TCP6 ::ffff:192.0.2.7 ::1 50312 557\r\n");
        malformed("letter in a port", "PROXY TCP4 192.0.2.7 127.0.0.1 503a2 557\r\n");
        malformed("end just past 107 bytes", "PROXY UNKNOWN " + QByteArray(93, 'x') + "\r\n");
    }

    void read()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, peer);
        QFETCH(bool, final);
        QFETCH(Outcome, outcome);
        QFETCH(QString, source);
        QFETCH(int, length);
        const ProxyHeader::Result result = ProxyHeader::read(bytes, QHostAddress(peer), final);
        QCOMPARE(result.outcome, outcome);
        if (outcome != Outcome::Accepted)
            return;
        QCOMPARE(result.length, length);
        QCOMPARE(result.source, source.isEmpty() ? QHostAddress() : QHostAddress(source));
    }

    void make()
    {
        QCOMPARE(ProxyHeader::make(QHostAddress(QStringLiteral("::ffff:127.0.0.5")), 50312,
                                   QHostAddress(QStringLiteral("::ffff:127.0.0.1")), 8557),
                 QByteArray("PROXY TCP4 127.0.0.5 127.0.0.1 50312 8557\r\n"));
        QCOMPARE(ProxyHeader::make(QHostAddress(QStringLiteral("2001:db8::7")), 1,
                                   QHostAddress(QStringLiteral("2001:db8::1")), 2),
                 QByteArray("PROXY TCP6 2001:db8::7 2001:db8::1 1 2\r\n"));
        QCOMPARE(ProxyHeader::make(QHostAddress(QStringLiteral("192.0.2.7")), 1,
                                   QHostAddress(QStringLiteral("2001:db8::1")), 2),
                 QByteArray("PROXY UNKNOWN\r\n"));
        // What it makes, it reads back.
        const QByteArray header = ProxyHeader::make(QHostAddress(QStringLiteral("fe80::7%1")), 65535,
                                                    QHostAddress(QStringLiteral("fe80::1%1")), 80);
        const ProxyHeader::Result back = ProxyHeader::read(header, QHostAddress::LocalHost);
        QCOMPARE(back.outcome, Outcome::Accepted);
        QCOMPARE(back.source, QHostAddress(QStringLiteral("fe80::7")));
        QCOMPARE(back.sourcePort, quint16(65535));
    }
};

QTEST_GUILESS_MAIN(TestProxyHeader)
#include "tst_proxyheader.moc"
