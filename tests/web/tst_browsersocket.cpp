#include "NamespacedTestMain.h"
#include "web/BrowserSocket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtEndian>

#include <memory>

using namespace kova::web;
using namespace Qt::StringLiterals;

namespace {

// A frame as a browser sends it: masked, with the given first byte (FIN, reserved bits, opcode).
QByteArray frame(quint8 first, const QByteArray& payload)
{
    QByteArray out(1, char(first));
    if (payload.size() <= 125) {
        out += char(0x80 | payload.size());
    } else {
        out += char(0x80 | 126);
        out += char(payload.size() >> 8);
        out += char(payload.size() & 0xFF);
    }
    const char mask[4] = {0x11, 0x22, 0x33, 0x44};
    out.append(mask, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        out += char(payload[i] ^ mask[i % 4]);
    return out;
}

QByteArray closePayload(quint16 code)
{
    QByteArray payload(2, Qt::Uninitialized);
    qToBigEndian(code, payload.data());
    return payload;
}

} // namespace

// The frame rules of the server's side of a WebSocket, over a loopback connection in this process.
class TestBrowserSocket : public QObject {
    Q_OBJECT

    QTcpServer m_server;
    QTcpSocket m_browser;
    std::unique_ptr<BrowserSocket> m_socket;

    // The code of the close frame that the browser received, or 0 for none yet.
    quint16 closeCodeReceived()
    {
        m_browser.waitForReadyRead(50);
        const QByteArray in = m_browser.peek(4);
        return in.size() == 4 && (quint8(in[0]) & 0x0F) == 0x8 ? qFromBigEndian<quint16>(in.constData() + 2) : 0;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.listen(QHostAddress::LocalHost)); }

    void init()
    {
        m_browser.connectToHost(QHostAddress::LocalHost, m_server.serverPort());
        QVERIFY(m_browser.waitForConnected(5000));
        QVERIFY(m_server.waitForNewConnection(5000));
        m_socket = std::make_unique<BrowserSocket>(m_server.nextPendingConnection());
    }

    void cleanup()
    {
        m_socket.reset();
        m_browser.abort();
    }

    void brokenRulesCloseWithTheirCode_data()
    {
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("code");
        const auto row = [](const char* name, const QByteArray& frames, const QString& reason,
                            quint16 code = CloseCodes::ProtocolError) {
            QTest::newRow(name) << frames << reason << int(code);
        };
        const QByteArray a = "a";
        row("first reserved bit", frame(0xC1, a), u"a frame with reserved bits set"_s);
        row("third reserved bit", frame(0x91, a), u"a frame with reserved bits set"_s);
        row("fragmented ping", frame(0x09, a), u"a fragmented or long control frame"_s);
        row("ping of 126 bytes", frame(0x89, QByteArray(126, 'p')), u"a fragmented or long control frame"_s);
        row("continuation first", frame(0x80, a), u"a continuation frame without a message"_s);
        row("text inside a fragmented text", frame(0x01, a) + frame(0x81, a),
            u"a new message inside a fragmented one"_s);
        for (const quint16 code : {999, 1004, 1012, 5000})
            row(qPrintable(u"close code %1"_s.arg(code)), frame(0x88, closePayload(code)),
                u"a close frame with code %1"_s.arg(code));
        const QByteArray half(MaxBrowserMessage / 2, 'x');
        row("a message one byte too long, in two fragments", frame(0x01, half) + frame(0x80, half + 'x'),
            u"a message over 64 KiB"_s, CloseCodes::TooBig);
    }

    void brokenRulesCloseWithTheirCode()
    {
        QFETCH(QByteArray, frames);
        QFETCH(QString, reason);
        QFETCH(int, code);
        QSignalSpy broken(m_socket.get(), &BrowserSocket::protocolBroken);
        QSignalSpy texts(m_socket.get(), &BrowserSocket::textMessageReceived);
        m_browser.write(frames);
        QTRY_COMPARE(broken.size(), 1);
        QCOMPARE(broken.first().at(0).value<quint16>(), code);
        QCOMPARE(broken.first().at(1).toString(), reason);
        QCOMPARE(texts.size(), 0);
        QTRY_COMPARE(closeCodeReceived(), code);
    }

    void acceptedFramesAreTaken_data()
    {
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<QString>("text");  // the text message received, if any
        QTest::addColumn<int>("closeCode"); // the close frame received and echoed, or 0
        QTest::newRow("text in three fragments")
            << frame(0x01, "a") + frame(0x00, "b") + frame(0x80, "c") << u"abc"_s << 0;
        QTest::newRow("ping between fragments")
            << frame(0x01, "a") + frame(0x89, "p") + frame(0x80, "b") << u"ab"_s << 0;
        QTest::newRow("ping of 125 bytes") << frame(0x89, QByteArray(125, 'p')) + frame(0x81, "a") << u"a"_s << 0;
        for (const quint16 code : {1000, 1003, 1007, 1011, 3000, 4999})
            QTest::addRow("close code %d", code) << frame(0x88, closePayload(code)) << QString() << int(code);
    }

    void acceptedFramesAreTaken()
    {
        QFETCH(QByteArray, frames);
        QFETCH(QString, text);
        QFETCH(int, closeCode);
        QSignalSpy broken(m_socket.get(), &BrowserSocket::protocolBroken);
        QSignalSpy texts(m_socket.get(), &BrowserSocket::textMessageReceived);
        m_browser.write(frames);
        if (closeCode) {
            QTRY_VERIFY(m_socket->closeReceived());
            QCOMPARE(m_socket->closeCode(), closeCode);
            QTRY_COMPARE(closeCodeReceived(), closeCode);
        } else {
            QTRY_COMPARE(texts.size(), 1);
            QCOMPARE(texts.first().first().toString(), text);
        }
        QCOMPARE(broken.size(), 0);
    }

    // Once the gateway has said goodbye, the browser's last messages are not taken; its close frame still is.
    void afterOurCloseOnlyTheBrowsersCloseCounts()
    {
        QSignalSpy texts(m_socket.get(), &BrowserSocket::textMessageReceived);
        m_socket->close(CloseCodes::GoingAway, u"bye"_s);
        m_browser.write(frame(0x81, "late") + frame(0x88, closePayload(CloseCodes::Normal)));
        QTRY_VERIFY(m_socket->closeReceived());
        QCOMPARE(texts.size(), 0);
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestBrowserSocket, false)
#include "tst_browsersocket.moc"
