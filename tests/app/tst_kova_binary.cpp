#include "Harness.h"
#include "NetworkNamespace.h"
#include "relay/Cp932.h"

#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace kova;
using namespace kova::test;

// The built program, started in a network namespace of its own, serving real clients on port 557.
class TestKovaBinary : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_kova;

    static QByteArray readUntil(QTcpSocket& socket, const QByteArray& expected) {
        QByteArray data;
        for (int i = 0; i < 50 && !data.contains(expected); ++i) {
            if (socket.bytesAvailable() == 0)
                socket.waitForReadyRead(100);
            data += socket.readAll();
        }
        return data;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_kova.setWorkingDirectory(m_dir.path());
        m_kova.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_kova.start(qEnvironmentVariable("KOVA_BINARY"), {});
        QVERIFY2(m_kova.waitForStarted(5000), qPrintable(m_kova.errorString()));
    }

    void registrationAndChatEndToEnd() {
        QTcpSocket taro;
        bool connected = false;
        for (int attempt = 0; attempt < 50 && !connected; ++attempt) {
            taro.connectToHost(QHostAddress::LocalHost, ServerPort);
            connected = taro.waitForConnected(100);
            if (!connected) {
                taro.abort();
                QTest::qWait(100);
            }
        }
        QVERIFY2(connected, "kova did not accept on port 557");
        QTcpSocket jiro;
        jiro.connectToHost(QHostAddress::LocalHost, ServerPort);
        QVERIFY(jiro.waitForConnected(5000));

        taro.write(cp932::encode(QStringLiteral("NAME:太郎")));
        const QByteArray roster = cp932::encode(QStringLiteral("NAME:0:サーバ+NAME:1:太郎+NAME:2:+"));
        QCOMPARE(readUntil(taro, roster), roster);
        QCOMPARE(readUntil(jiro, roster), roster);

        jiro.write(cp932::encode(QStringLiteral("やあ")));
        const QByteArray line = cp932::encode(QStringLiteral(" > やあ"));
        QCOMPARE(readUntil(jiro, line), line);
        QCOMPARE(readUntil(taro, line), line);
    }

    void cleanupTestCase() {
        m_kova.terminate();
        if (!m_kova.waitForFinished(5000))
            m_kova.kill();
    }
};

int main(int argc, char* argv[]) {
    QString error;
    if (!enterPrivateNetwork(&error)) {
        std::fprintf(stderr, "tst_kova_binary needs its own network namespace (run as root): %s\n", qPrintable(error));
        return 1;
    }
    QCoreApplication app(argc, argv);
    TestKovaBinary test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kova_binary.moc"
