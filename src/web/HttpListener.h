#pragma once

#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

namespace kova::web {

// The gateway's listening socket: plain TCP, or, once given a TLS configuration, TLS on every connection that
// comes after (a QSslSocket whose server handshake has started; its data reads as plain text once it is done).
class HttpListener : public QTcpServer {
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

    void setTlsConfiguration(const QSslConfiguration& configuration) { m_tls = configuration; }
    bool usesTls() const { return m_tls.has_value(); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::optional<QSslConfiguration> m_tls;
};

} // namespace kova::web
