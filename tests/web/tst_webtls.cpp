#include "ChatBrowser.h"
#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "RawHttp.h"
#include "TestCertificate.h"
#include "WebGatewayProcess.h"
#include "WriteFile.h"
#include "web/CertificateFiles.h"
#include "web/PageServer.h"
#include "web/TlsCredentials.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

namespace {

const QString Origin = u"https://127.0.0.1:8557"_s;

QStringList tlsArguments(const TestCertificate& certificate)
{
    return {u"--listen"_s,           u"127.0.0.1:8557"_s, u"--tls-cert"_s,
            certificate.certificate, u"--tls-key"_s,      certificate.key};
}

// The gateway with a fresh certificate in front of the chat server.
struct SecureServers {
    bool start()
    {
        const auto made = makeCertificate(directory.path(), u"gateway"_s);
        if (!made)
            return false;
        certificate = *made;
        web = std::make_unique<WebGatewayProcess>(tlsArguments(certificate));
        return kova.startListening() && web->start();
    }
    ~SecureServers() { kova.terminate(); }

    QTemporaryDir directory;
    TestCertificate certificate;
    KovaProcess kova;
    std::unique_ptr<WebGatewayProcess> web;
};

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The gateway over TLS, each case in a network namespace of its own.
class TestWebTls : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void servesThePageAndTheChatOverTls()
    {
        SecureServers servers;
        QVERIFY(servers.start());
        QVERIFY(
            servers.web->waitForOutput(u"kova-web: HTTPS with the certificate kova-test, 127.0.0.1, valid until"_s));
        QVERIFY(servers.web->waitForOutput(u"serving the chat page on https://127.0.0.1:8557 for"_s));

        const QByteArray page =
            exchange("GET / HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nConnection: close\r\n\r\n", true).answer;
        QVERIFY2(page.startsWith("HTTP/1.1 200 OK\r\n"), page.left(200));
        QVERIFY(QString::fromUtf8(page).contains(u"発言監視"_s));
        const QByteArray script =
            exchange("GET /kova.js HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nConnection: close\r\n\r\n", true).answer;
        QVERIFY2(script.startsWith("HTTP/1.1 200 OK\r\n") && script.contains("text/javascript"), script.left(200));

        ChatBrowser browser(Origin);
        QVERIFY(browser.join(u"暗号"_s) && browser.waitReceived(u"暗号+"_s));
        auto raw = servers.kova.connectClient();
        QVERIFY(raw);
        browser.send(u"こんにちは"_s);
        QVERIFY(browser.waitReceived(u"暗号 > こんにちは"_s));
        // A message of the largest size passes through TLS records as it does in clear.
        const QString longest = QString(64 * 1024 - 40, u'x');
        browser.send(longest);
        QVERIFY(browser.waitReceived(longest));
        QCOMPARE(browser.socket.state(), QAbstractSocket::ConnectedState);
    }

    void everyAnswerCarriesTheSecurityHeaders_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("https") << true;
        QTest::newRow("http") << false;
    }

    void everyAnswerCarriesTheSecurityHeaders()
    {
        QFETCH(bool, tls);
        QTemporaryDir directory;
        const auto certificate = makeCertificate(directory.path(), u"gateway"_s);
        QVERIFY(certificate);
        WebGatewayProcess web(tls ? tlsArguments(*certificate) : QStringList{u"--listen"_s, u"127.0.0.1:8557"_s});
        QVERIFY(web.start());
        const QByteArray origin = tls ? "https://127.0.0.1:8557" : "http://127.0.0.1:8557";
        const QByteArray version = "Sec-WebSocket-Version: 13\r\n\r\n";
        const QByteArray requests[] = {
            "GET / HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nConnection: close\r\n\r\n",
            "GET /nothing HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nConnection: close\r\n\r\n",
            "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nOrigin: " + origin + "\r\n" + Upgrade + version,
            "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nOrigin: http://evil.example\r\n" + Upgrade + version,
        };
        const QByteArray statuses[] = {"HTTP/1.1 200 ", "HTTP/1.1 404 ", "HTTP/1.1 101 ", "HTTP/1.1 403 "};
        for (int i = 0; i < 4; ++i) {
            const QByteArray head = exchange(requests[i], tls).head();
            QVERIFY2(head.startsWith(statuses[i]), head);
            QVERIFY2(head.contains("\r\nX-Content-Type-Options: nosniff\r\n"), head);
            QVERIFY2(head.contains("\r\nReferrer-Policy: no-referrer\r\n"), head);
            QVERIFY2(QRegularExpression(u"\r\nContent-Security-Policy: [^\r]*frame-ancestors 'none'"_s)
                         .match(QString::fromLatin1(head))
                         .hasMatch(),
                     head);
            QCOMPARE(head.contains("\r\nStrict-Transport-Security: max-age=31536000\r\n"), tls);
            // Over TLS the page may only use wss:, and the policy names only that.
            QVERIFY2(head.contains(tls ? " wss://127.0.0.1:8557;" : " ws://127.0.0.1:8557;"), head);
            QVERIFY2(!head.contains(tls ? " ws://" : " wss://"), head);
        }
    }

    // Renewed files are taken for the next connection; what is open keeps its own, and a replacement that cannot be
    // used leaves the pair in use.
    void renewedCertificateServesTheNextConnection()
    {
        SecureServers servers;
        QVERIFY(servers.start());
        WebGatewayProcess& web = *servers.web;
        const TestCertificate& files = servers.certificate;
        const QByteArray first = files.fingerprint();
        QCOMPARE(servedFingerprint(WebGatewayProcess::Port), first);
        ChatBrowser browser(Origin);
        QVERIFY(browser.join(u"残る"_s) && browser.waitReceived(u"残る+"_s));

        const auto renewed = makeCertificate(servers.directory.path(), u"renewed"_s);
        QVERIFY(renewed);
        // The certificate first, as a renewal may: for a moment it does not match the key in use.
        QVERIFY(replaceFile(files.certificate, contents(renewed->certificate)));
        QVERIFY2(
            web.waitForOutput(u"kova-web: the renewed certificate is not used, the one in use stays: the key in "_s +
                              files.key + u" does not belong to the certificate in "_s + files.certificate),
            qPrintable(web.output()));
        QCOMPARE(servedFingerprint(WebGatewayProcess::Port), first);
        QVERIFY(replaceFile(files.key, contents(renewed->key)));
        QVERIFY2(web.waitForOutput(u"kova-web: renewed certificate, for the connections from now on: kova-test"_s),
                 qPrintable(web.output()));
        QCOMPARE(servedFingerprint(WebGatewayProcess::Port), renewed->fingerprint());
        QVERIFY(renewed->fingerprint() != first);
        browser.send(u"まだいます"_s);
        QVERIFY(browser.waitReceived(u"残る > まだいます"_s));

        // Written over in place, and then not a certificate at all.
        QVERIFY(writeFile(files.certificate, "not a certificate\n"));
        QVERIFY2(web.waitForOutput(u"the one in use stays: the certificate file "_s + files.certificate +
                                   u" holds no certificate in PEM form"_s),
                 qPrintable(web.output()));
        QCOMPARE(servedFingerprint(WebGatewayProcess::Port), renewed->fingerprint());
        // An expired one is no renewal either.
        const auto expired = makeCertificate(servers.directory.path(), u"expired"_s, Validity::Expired);
        QVERIFY(expired);
        QVERIFY(replaceFile(files.key, contents(expired->key)));
        QVERIFY(replaceFile(files.certificate, contents(expired->certificate)));
        QVERIFY2(
            web.waitForOutput(u"the one in use stays: the certificate in "_s + files.certificate + u" expired on"_s),
            qPrintable(web.output()));
        QCOMPARE(servedFingerprint(WebGatewayProcess::Port), renewed->fingerprint());
        QCOMPARE(browser.socket.state(), QAbstractSocket::ConnectedState);
    }

    // The certificate in use running out is told when it happens (here with the time of day moved on).
    void theCertificateInUseExpiringIsTold()
    {
        QTemporaryDir directory;
        const auto certificate = makeCertificate(directory.path(), u"gateway"_s);
        QVERIFY(certificate);
        const QDateTime end = QSslCertificate::fromPath(certificate->certificate).first().expiryDate();
        QDateTime now = end.addMSecs(-300);
        web::CertificateFiles files(certificate->certificate, certificate->key, [&now] { return now; });
        QString error;
        QVERIFY2(files.load(&error), qPrintable(error));
        QSignalSpy expired(&files, &web::CertificateFiles::expired);
        QTest::qWait(100);
        QCOMPARE(expired.size(), 0);
        now = end;
        QVERIFY(expired.wait(2000));
    }

    void unusableFilesEndTheGatewayAtStart()
    {
        QTemporaryDir directory;
        const auto good = makeCertificate(directory.path(), u"good"_s);
        const auto other = makeCertificate(directory.path(), u"other"_s);
        const auto rsa = makeCertificate(directory.path(), u"rsa"_s, Validity::Current, u"rsa"_s);
        const auto expired = makeCertificate(directory.path(), u"expired"_s, Validity::Expired);
        QVERIFY(good && other && rsa && expired);
        const QString missing = directory.filePath(u"missing.crt"_s);
        const struct {
            QStringList arguments;
            QString error;
        } cases[] = {
            {{u"--tls-cert"_s, good->certificate},
             u"kova-web: --tls-cert and --tls-key go together: give both for HTTPS, or neither\n"_s},
            {{u"--tls-key"_s, good->key}, u"kova-web: --tls-cert and --tls-key go together"_s},
            {{u"--tls-cert="_s, u"--tls-key="_s}, u"kova-web: --tls-cert and --tls-key need a file each\n"_s},
            {{u"--tls-cert"_s, missing, u"--tls-key"_s, good->key},
             u"kova-web: cannot read the certificate file %1: No such file or directory\n"_s.arg(missing)},
            {{u"--tls-cert"_s, good->key, u"--tls-key"_s, good->key},
             u"kova-web: the certificate file %1 holds no certificate in PEM form\n"_s.arg(good->key)},
            {{u"--tls-cert"_s, good->certificate, u"--tls-key"_s, good->certificate},
             u"kova-web: the key file %1 holds no RSA or EC private key"_s.arg(good->certificate)},
            {{u"--tls-cert"_s, good->certificate, u"--tls-key"_s, other->key},
             u"kova-web: the key in %1 does not belong to the certificate in %2 (the TLS library says: "_s.arg(
                 other->key, good->certificate)},
            {{u"--tls-cert"_s, good->certificate, u"--tls-key"_s, rsa->key},
             u"kova-web: the key in %1 does not belong to the certificate in %2 (another kind of key)\n"_s.arg(
                 rsa->key, good->certificate)},
            {{u"--tls-cert"_s, expired->certificate, u"--tls-key"_s, expired->key},
             u"kova-web: the certificate in %1 expired on "_s.arg(expired->certificate)},
        };
        for (const auto& testCase : cases) {
            QProcess process;
            process.start(qEnvironmentVariable("KOVA_WEB_BINARY"),
                          QStringList{u"--listen"_s, u"127.0.0.1:8557"_s} + testCase.arguments);
            QVERIFY(process.waitForFinished(10000));
            const QString error = QString::fromUtf8(process.readAllStandardError());
            QVERIFY2(error.startsWith(testCase.error), qPrintable(error));
            QCOMPARE(process.exitCode(), 2);
            QVERIFY(!process.readAllStandardOutput().contains("serving"));
        }
    }

    void plainHttpToTheTlsPortGetsNothing()
    {
        SecureServers servers;
        QVERIFY(servers.start());
        // Closed at once, long before the idle time, with no answer.
        const RawExchange plain = exchange("GET / HTTP/1.1\r\nHost: 127.0.0.1:8557\r\n\r\n");
        QVERIFY(plain.closed);
        QVERIFY2(!plain.answer.contains("HTTP/"), plain.answer);
        QVERIFY2(servers.web->waitForOutput(u"refused: no TLS handshake: "_s), qPrintable(servers.web->output()));
    }

    // A connection that starts a handshake, or none, and then says nothing is closed with the idle time.
    void unfinishedHandshakesAreClosed()
    {
        QTemporaryDir directory;
        const auto certificate = makeCertificate(directory.path(), u"gateway"_s);
        QVERIFY(certificate);
        web::PageServer pages({4, std::chrono::milliseconds(300)});
        QString error;
        QVERIFY(pages.startListening(QHostAddress::LocalHost, 0, &error));
        const auto credentials = web::readTlsCredentials(certificate->certificate, certificate->key,
                                                         QDateTime::currentDateTimeUtc(), &error);
        QVERIFY2(credentials, qPrintable(error));
        pages.setTlsConfiguration(credentials->configuration());
        QTcpSocket silent;
        QTcpSocket started;
        for (QTcpSocket* socket : {&silent, &started}) {
            socket->connectToHost(QHostAddress::LocalHost, pages.serverPort());
            QVERIFY(QTest::qWaitFor([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
        }
        // The beginning of a ClientHello.
        started.write(QByteArray::fromHex("160301"));
        QVERIFY(QTest::qWaitFor([&] { return pages.plainConnections() == 2; }));
        QVERIFY(QTest::qWaitFor([&] {
            return silent.state() == QAbstractSocket::UnconnectedState &&
                   started.state() == QAbstractSocket::UnconnectedState;
        }));
        QCOMPARE(pages.plainConnections(), 0);
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestWebTls, false)
#include "tst_webtls.moc"
