#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kova::test {

// A self-signed certificate for 127.0.0.1 and its key, made by openssl: DIRECTORY/NAME.crt and DIRECTORY/NAME.key.
struct TestCertificate {
    QString certificate;
    QString key;

    // Its SHA-256 fingerprint.
    QByteArray fingerprint() const;
};

enum class Validity { Current, Expired };

// Makes one with a P-256 key ("ec") or an RSA key ("rsa"); none when openssl fails (it says why on the test's
// output).
std::optional<TestCertificate> makeCertificate(const QString& directory, const QString& name,
                                               Validity validity = Validity::Current,
                                               const QString& keyType = QStringLiteral("ec"));

// The SHA-256 fingerprint of the certificate that the TLS server on the port of 127.0.0.1 presents (empty when
// no handshake succeeds).
QByteArray servedFingerprint(quint16 port);

// Puts the file in place as certificate tools do: written beside it, then renamed over it.
bool replaceFile(const QString& path, const QByteArray& contents);

} // namespace kova::test
