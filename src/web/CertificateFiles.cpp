#include "CertificateFiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace kova::web {

CertificateFiles::CertificateFiles(const QString& certificateFile, const QString& keyFile, QObject* parent)
    : QObject(parent)
    , m_certificateFile(certificateFile)
    , m_keyFile(keyFile)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(Settle);
    connect(&m_settle, &QTimer::timeout, this, &CertificateFiles::reread);
    // A file renamed into place is a change of its directory; one written over, of the file.
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_settle, qOverload<>(&QTimer::start));
    connect(&m_check, &KeyPairCheck::finished, this, &CertificateFiles::onChecked);
}

bool CertificateFiles::load(QString* error)
{
    m_seen = contents();
    const auto credentials = readTlsCredentials(m_certificateFile, m_keyFile, QDateTime::currentDateTimeUtc(), error);
    if (!credentials)
        return false;
    if (const QString mismatch = KeyPairCheck::run(*credentials); !mismatch.isEmpty()) {
        *error = mismatchText(mismatch);
        return false;
    }
    m_current = *credentials;
    watch();
    return true;
}

void CertificateFiles::watch()
{
    QStringList paths;
    for (const QString& file : {m_certificateFile, m_keyFile}) {
        const QFileInfo info(file);
        paths << info.absolutePath();
        if (info.exists())
            paths << info.absoluteFilePath();
    }
    paths.removeDuplicates();
    const QStringList watched = m_watcher.files() + m_watcher.directories();
    for (const QString& path : std::as_const(paths)) {
        if (!watched.contains(path))
            m_watcher.addPath(path);
    }
}

QByteArray CertificateFiles::contents() const
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString& path : {m_certificateFile, m_keyFile}) {
        QFile file(path);
        const QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        hash.addData(QByteArray::number(data.size()) + ':');
        hash.addData(data);
    }
    return hash.result();
}

QString CertificateFiles::mismatchText(const QString& handshakeError) const
{
    return QStringLiteral("the key in %1 does not belong to the certificate in %2 (the TLS library says: %3)")
        .arg(m_keyFile, m_certificateFile, handshakeError);
}

void CertificateFiles::reread()
{
    // A file replaced is watched no more under its name.
    watch();
    if (m_checking) {
        m_changedWhileChecking = true;
        return;
    }
    const QByteArray now = contents();
    if (now == m_seen)
        return;
    m_seen = now;
    QString error;
    const auto credentials = readTlsCredentials(m_certificateFile, m_keyFile, QDateTime::currentDateTimeUtc(), &error);
    if (!credentials) {
        Q_EMIT renewalRefused(error);
        return;
    }
    m_candidate = *credentials;
    m_checking = true;
    m_check.start(m_candidate);
}

void CertificateFiles::onChecked(const QString& error)
{
    m_checking = false;
    if (error.isEmpty()) {
        m_current = m_candidate;
        Q_EMIT renewed(m_current);
    } else {
        Q_EMIT renewalRefused(mismatchText(error));
    }
    if (std::exchange(m_changedWhileChecking, false))
        reread();
}

} // namespace kova::web
