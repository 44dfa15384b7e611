#include "AtomicWrite.h"

#include <QSaveFile>

namespace kova {

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
    // A write to a nearly full disk can come back short without an error, and the file would then be
    // committed cut off: write on until everything is written or the system says why it cannot be.
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            // Taken before the file is given up, which resets the error text.
            const QString reason = file.errorString();
            file.cancelWriting();
            return fail(reason);
        }
        done += written;
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

} // namespace kova
