#include "TlsCredentials.h"

#include <QEventLoop>
#include <QFile>
#include <QSslSocket>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace kova::web {

namespace {

std::optional<QByteArray> readFile(const QString& path, const QString& what, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the %1 file %2: %3").arg(what, path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

QString dateText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODate);
}

} // namespace

QSslConfiguration TlsCredentials::configuration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    // Browsers are not asked for certificates of their own.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    return configuration;
}

QString TlsCredentials::description() const
{
    const QSslCertificate& certificate = chain.first();
    QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    const auto alternatives = certificate.subjectAlternativeNames();
    for (auto name = alternatives.cbegin(); name != alternatives.cend(); ++name) {
        if (!names.contains(name.value()))
            names += name.value();
    }
    return QStringLiteral("%1, valid until %2, SHA-256 %3")
        .arg(names.isEmpty() ? QStringLiteral("no name") : names.join(u", "), dateText(certificate.expiryDate()),
             QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':')));
}

std::optional<TlsCredentials> readTlsCredentials(const QString& certificateFile, const QString& keyFile,
                                                 const QDateTime& now, QString* error)
{
    const auto certificateData = readFile(certificateFile, QStringLiteral("certificate"), error);
    if (!certificateData)
        return std::nullopt;
    TlsCredentials credentials;
    credentials.chain = QSslCertificate::fromData(*certificateData, QSsl::Pem);
    if (credentials.chain.isEmpty() || credentials.chain.first().isNull()) {
        *error = QStringLiteral("the certificate file %1 holds no certificate in PEM form").arg(certificateFile);
        return std::nullopt;
    }
    const QSslCertificate& certificate = credentials.chain.first();
    if (now >= certificate.expiryDate()) {
        *error = QStringLiteral("the certificate in %1 expired on %2")
                     .arg(certificateFile, dateText(certificate.expiryDate()));
        return std::nullopt;
    }
    if (now < certificate.effectiveDate()) {
        *error = QStringLiteral("the certificate in %1 is not valid before %2")
                     .arg(certificateFile, dateText(certificate.effectiveDate()));
        return std::nullopt;
    }

    const auto keyData = readFile(keyFile, QStringLiteral("key"), error);
    if (!keyData)
        return std::nullopt;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        credentials.key = QSslKey(*keyData, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!credentials.key.isNull())
            break;
    }
    if (credentials.key.isNull()) {
        *error = QStringLiteral("the key file %1 holds no RSA or EC private key in PEM form without a passphrase")
                     .arg(keyFile);
        return std::nullopt;
    }
    if (credentials.key.algorithm() != certificate.publicKey().algorithm()) {
        *error = QStringLiteral("the key in %1 does not belong to the certificate in %2 (another kind of key)")
                     .arg(keyFile, certificateFile);
        return std::nullopt;
    }
    return credentials;
}

KeyPairCheck::KeyPairCheck(QObject* parent)
    : QObject(parent)
{
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(Timeout);
    connect(&m_timeout, &QTimer::timeout, this,
            [this] { finish(QStringLiteral("the TLS handshake did not end within %1 s").arg(Timeout.count())); });
}

KeyPairCheck::~KeyPairCheck() = default;

void KeyPairCheck::start(const TlsCredentials& credentials)
{
    m_finished = false;
    m_serverEncrypted = false;
    m_clientEncrypted = false;
    int descriptors[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, descriptors) != 0) {
        finish(QStringLiteral("no local socket pair for the TLS handshake: %1")
                   .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    m_server = std::make_unique<QSslSocket>();
    m_client = std::make_unique<QSslSocket>();
    const bool adopted = m_server->setSocketDescriptor(descriptors[0]);
    if (!adopted)
        ::close(descriptors[0]);
    if (!m_client->setSocketDescriptor(descriptors[1])) {
        ::close(descriptors[1]);
        finish(QStringLiteral("no local socket for the TLS handshake: %1").arg(m_client->errorString()));
        return;
    }
    if (!adopted) {
        finish(QStringLiteral("no local socket for the TLS handshake: %1").arg(m_server->errorString()));
        return;
    }
    m_server->setSslConfiguration(credentials.configuration());
    QSslConfiguration client = QSslConfiguration::defaultConfiguration();
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_client->setSslConfiguration(client);
    for (QSslSocket* socket : {m_server.get(), m_client.get()}) {
        connect(socket, &QSslSocket::encrypted, this, [this, socket] {
            (socket == m_server.get() ? m_serverEncrypted : m_clientEncrypted) = true;
            if (m_serverEncrypted && m_clientEncrypted)
                finish({});
        });
        connect(socket, &QSslSocket::errorOccurred, this, [this, socket] { finish(socket->errorString()); });
    }
    m_timeout.start();
    m_server->startServerEncryption();
    if (!m_finished)
        m_client->startClientEncryption();
}

QString KeyPairCheck::run(const TlsCredentials& credentials)
{
    KeyPairCheck check;
    QEventLoop loop;
    std::optional<QString> outcome;
    connect(&check, &KeyPairCheck::finished, &loop, [&](const QString& error) {
        outcome = error;
        loop.quit();
    });
    check.start(credentials);
    if (!outcome)
        loop.exec();
    return *outcome;
}

void KeyPairCheck::finish(const QString& error)
{
    if (std::exchange(m_finished, true))
        return;
    m_timeout.stop();
    // Called from the sockets' own signals: they go once those have returned.
    for (auto* socket : {&m_server, &m_client}) {
        if (*socket) {
            (*socket)->disconnect(this);
            (*socket)->abort();
            socket->release()->deleteLater();
        }
    }
    Q_EMIT finished(error);
}

} // namespace kova::web
