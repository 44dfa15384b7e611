#include "TestCertificate.h"
#include "RunCommand.h"
#include "WriteFile.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslSocket>

#include <cstdio>

namespace kova::test {

QByteArray TestCertificate::fingerprint() const
{
    const auto chain = QSslCertificate::fromPath(certificate);
    return chain.isEmpty() ? QByteArray() : chain.first().digest(QCryptographicHash::Sha256);
}

std::optional<TestCertificate> makeCertificate(const QString& directory, const QString& name, Validity validity,
                                               const QString& keyType)
{
    const TestCertificate made{directory + u'/' + name + QStringLiteral(".crt"),
                               directory + u'/' + name + QStringLiteral(".key")};
    const QStringList keyOptions = keyType == u"rsa" ? QStringList{QStringLiteral("rsa:2048")}
                                                     : QStringList{QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                                                   QStringLiteral("ec_paramgen_curve:P-256")};
    const QStringList subject{QStringLiteral("-subj"), QStringLiteral("/CN=kova-test"), QStringLiteral("-addext"),
                              QStringLiteral("subjectAltName=IP:127.0.0.1")};
    QString error;
    bool ok = false;
    if (validity == Validity::Current) {
        ok = run(QStringLiteral("openssl"),
                 QStringList{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-nodes"),
                             QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-newkey")} +
                     keyOptions + subject +
                     QStringList{QStringLiteral("-keyout"), made.key, QStringLiteral("-out"), made.certificate},
                 &error);
    } else {
        // openssl req takes no past dates; a request signed with -days -1 ended yesterday.
        const QString request = directory + u'/' + name + QStringLiteral(".csr");
        ok = run(QStringLiteral("openssl"),
                 QStringList{QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-nodes"),
                             QStringLiteral("-newkey")} +
                     keyOptions + subject +
                     QStringList{QStringLiteral("-keyout"), made.key, QStringLiteral("-out"), request},
                 &error) &&
             run(QStringLiteral("openssl"),
                 {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                  QStringLiteral("-signkey"), made.key, QStringLiteral("-days"), QStringLiteral("-1"),
                  QStringLiteral("-out"), made.certificate},
                 &error);
    }
    if (!ok) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return std::nullopt;
    }
    return made;
}

QByteArray servedFingerprint(quint16 port)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForEncrypted(5000))
        return {};
    return socket.peerCertificate().digest(QCryptographicHash::Sha256);
}

bool replaceFile(const QString& path, const QByteArray& contents)
{
    const QString beside = path + QStringLiteral(".new");
    return writeFile(beside, contents) && std::rename(qPrintable(beside), qPrintable(path)) == 0;
}

} // namespace kova::test
