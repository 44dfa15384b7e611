#include "AtomicWrite.h"

#include <QFile>
#include <QSaveFile>

namespace kova {

namespace {
bool failed(const QString& path, const QString& reason, QString* error)
{
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, reason);
    return false;
}

// A write to a nearly full disk can come back short without an error: write on until everything is
// written or the system says why it cannot be.
bool writeFully(QFileDevice& file, const QByteArray& bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}
} // namespace

bool writeAtomically(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failed(path, file.errorString(), error);
    // QSaveFile would commit a file whose write came back short.
    if (!writeFully(file, bytes)) {
        // Taken before the file is given up, which resets the error text.
        const QString reason = file.errorString();
        file.cancelWriting();
        return failed(path, reason, error);
    }
    if (!file.commit())
        return failed(path, file.errorString(), error);
    return true;
}

bool appendWhole(const QString& path, const QByteArray& bytes, QString* error)
{
    QFile file(path);
    const bool existed = file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return failed(path, file.errorString(), error);
    const qint64 before = file.size();
    if (writeFully(file, bytes))
        return true;
    const QString reason = file.errorString();
    if (existed)
        file.resize(before);
    else
        file.remove();
    return failed(path, reason, error);
}

} // namespace kova
