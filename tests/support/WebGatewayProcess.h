#pragma once

#include <QHostAddress>
#include <QProcess>
#include <QStringList>

namespace kova::test {

// The built browser gateway (path in $KOVA_WEB_BINARY) on 127.0.0.1:8557 unless told otherwise, in front of the
// chat server on 127.0.0.1:557.
class WebGatewayProcess {
public:
    static constexpr quint16 Port = 8557;

    explicit WebGatewayProcess(const QStringList& arguments = {QStringLiteral("--listen"),
                                                               QStringLiteral("127.0.0.1:8557")});
    ~WebGatewayProcess() { terminate(); }

    // Starts it and waits until it accepts connections on the address and port of its --listen.
    bool start();
    // Everything it wrote to standard output so far.
    QString output();
    // Waits until its output holds the text.
    bool waitForOutput(const QString& text, int timeoutMs = 5000);
    // The exit status after SIGTERM; -1 when it did not end.
    int terminate();

    QProcess process;

private:
    QStringList m_arguments;
    QHostAddress m_address = QHostAddress::LocalHost;
    quint16 m_port = Port;
    QByteArray m_output;
};

} // namespace kova::test
