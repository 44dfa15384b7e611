#pragma once

#include <QString>
#include <QTemporaryDir>

namespace kova::test {

// A small file system of its own, mounted on a scratch directory for as long as the object lives. Call from inside
// a private mount namespace (enterPrivateMounts).
class Tmpfs {
public:
    explicit Tmpfs(const QString& options = QStringLiteral("size=1m"));
    ~Tmpfs();

    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString path() const { return m_dir.path(); }
    bool setReadOnly(bool readOnly);
    // Writes a file of that name until the file system is full; false if that did not happen.
    bool fill(const QString& name = QStringLiteral("filler"));
    // Grows or starts the file of that name so that only free bytes are left.
    bool leaveFree(qint64 free, const QString& name = QStringLiteral("filler"));

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
    QString m_error;
};

} // namespace kova::test
