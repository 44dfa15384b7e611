#include "AtomicWrite.h"

#include <QFile>
#include <QSaveFile>

namespace kova {

namespace {
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
    auto fail = [&](const QString& reason) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, reason);
        return false;
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(file.errorString());
    // QSaveFile would commit a file whose write came back short.
    if (!writeFully(file, bytes)) {
        // Taken before the file is given up, which resets the error text.
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

bool appendWhole(const QString& path, const QByteArray& bytes, QString* error)
{
    QFile file(path);
    const bool existed = file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    const qint64 before = file.size();
    if (writeFully(file, bytes))
        return true;
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
    if (existed)
        file.resize(before);
    else
        file.remove();
    return false;
}

} // namespace kova
