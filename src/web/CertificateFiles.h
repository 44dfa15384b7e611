#pragma once

#include "TlsCredentials.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

namespace kova::web {

// The gateway's certificate and key files, watched. Certificate tools renew them by writing new files and renaming
// them into place, often the certificate and then the key: a pair that reads and matches is taken for the
// connections that come next; one that does not is reported, and the pair in use stays until a good one comes.
class CertificateFiles : public QObject {
    Q_OBJECT

public:
    // How long the files have to stay unchanged before they are read again.
    static constexpr std::chrono::milliseconds Settle{300};

    CertificateFiles(const QString& certificateFile, const QString& keyFile, QObject* parent = nullptr);

    // Reads and checks the files (waiting for the key's handshake) and watches them from now on; on failure, *error
    // says what is wrong with which file.
    bool load(QString* error);
    const TlsCredentials& current() const { return m_current; }

Q_SIGNALS:
    void renewed(const TlsCredentials& credentials);
    // A replacement that cannot be used, and why; the pair in use stays.
    void renewalRefused(const QString& reason);

private:
    void watch();
    void reread();
    void onChecked(const QString& error);
    QString mismatchText(const QString& handshakeError) const;
    // What the files hold now, to tell a change from a file touched, or another file of the directory.
    QByteArray contents() const;

    QString m_certificateFile;
    QString m_keyFile;
    TlsCredentials m_current;
    TlsCredentials m_candidate;
    QByteArray m_seen;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
    KeyPairCheck m_check;
    bool m_checking = false;
    bool m_changedWhileChecking = false;
};

} // namespace kova::web
