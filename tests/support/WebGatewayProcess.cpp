#include "WebGatewayProcess.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTest>

namespace kova::test {

WebGatewayProcess::WebGatewayProcess(const QStringList& arguments)
    : m_arguments(arguments)
{
    const qsizetype listen = arguments.indexOf(QStringLiteral("--listen"));
    if (listen >= 0 && listen + 1 < arguments.size()) {
        const QString value = arguments.at(listen + 1);
        const qsizetype colon = value.lastIndexOf(u':');
        m_address = QHostAddress(value.left(colon));
        m_port = value.mid(colon + 1).toUShort();
    }
}

bool WebGatewayProcess::start()
{
    process.start(qEnvironmentVariable("KOVA_WEB_BINARY"), m_arguments);
    if (!process.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(m_address, m_port);
        if (probe.waitForConnected(200))
            return true;
        QTest::qWait(20);
    }
    return false;
}

QString WebGatewayProcess::output()
{
    m_output += process.readAllStandardOutput();
    return QString::fromUtf8(m_output);
}

bool WebGatewayProcess::waitForOutput(const QString& text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!output().contains(text)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

int WebGatewayProcess::terminate()
{
    if (process.state() == QProcess::NotRunning)
        return process.exitCode();
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitCode();
}

} // namespace kova::test
