#include "SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

namespace kova {

SingleInstance::SingleInstance()
{
    QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty())
        directory = QDir::tempPath();
    m_lock = std::make_unique<QLockFile>(QDir(directory).filePath(QStringLiteral("kova.lock")));
    // Only a live owner counts: a lock whose process is gone is stale whatever its age.
    m_lock->setStaleLockTime(0);
    m_acquired = m_lock->tryLock(0);
}

} // namespace kova
