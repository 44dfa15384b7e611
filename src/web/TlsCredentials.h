#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class QSslSocket;

namespace kova::web {

// A certificate, the chain after it, and its private key, as read from their PEM files.
struct TlsCredentials {
    QList<QSslCertificate> chain; // the gateway's own certificate first
    QSslKey key;

    // The server's side of a TLS connection with these.
    QSslConfiguration configuration() const;
    // The certificate as the log shows it: its subject, its expiry and its SHA-256 fingerprint.
    QString description() const;
};

// Reads the certificate file (PEM, the chain after the certificate) and the key file (PEM, RSA or EC, not
// encrypted), and checks that the certificate is valid at the time given. On failure, *error names the file and
// says what is wrong with it. Whether the key belongs to the certificate is KeyPairCheck's to tell.
std::optional<TlsCredentials> readTlsCredentials(const QString& certificateFile, const QString& keyFile,
                                                 const QDateTime& now, QString* error);

// Tells whether a key belongs to its certificate by the only proof that counts: a TLS handshake with these
// credentials, made by the program with itself over a pair of local sockets.
class KeyPairCheck : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds Timeout{10};

    explicit KeyPairCheck(QObject* parent = nullptr);
    ~KeyPairCheck() override;

    // Starts the handshake; finished() follows, also when it cannot start.
    void start(const TlsCredentials& credentials);
    // Starts it and waits for the outcome: what is wrong, or an empty string.
    static QString run(const TlsCredentials& credentials);

Q_SIGNALS:
    // Empty when the handshake succeeded.
    void finished(const QString& error);

private:
    void finish(const QString& error);

    std::unique_ptr<QSslSocket> m_server;
    std::unique_ptr<QSslSocket> m_client;
    QTimer m_timeout;
    bool m_serverEncrypted = false;
    bool m_clientEncrypted = false;
    bool m_finished = true;
};

} // namespace kova::web
