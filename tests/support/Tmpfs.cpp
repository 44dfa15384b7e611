#include "Tmpfs.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

#include <cerrno>
#include <cstring>

#include <sys/mount.h>

namespace kova::test {

Tmpfs::Tmpfs(const QString& options)
{
    m_ok = ::mount("tmpfs", qPrintable(m_dir.path()), "tmpfs", 0, qPrintable(options)) == 0;
    if (!m_ok)
        m_error = QString::fromLocal8Bit(std::strerror(errno));
}

Tmpfs::~Tmpfs()
{
    ::umount2(qPrintable(m_dir.path()), MNT_DETACH);
}

bool Tmpfs::setReadOnly(bool readOnly)
{
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", qPrintable(m_dir.path()), "tmpfs", flags, nullptr) == 0;
}

bool Tmpfs::fill(const QString& name)
{
    QFile file(QDir(path()).filePath(name));
    if (!file.open(QIODevice::Append | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'f');
    for (int i = 0; i < 1 << 20; ++i) {
        if (file.write(block) < block.size())
            return QStorageInfo(path()).bytesAvailable() == 0;
    }
    return false;
}

bool Tmpfs::leaveFree(qint64 free, const QString& name)
{
    const qint64 available = QStorageInfo(path()).bytesAvailable();
    QFile file(QDir(path()).filePath(name));
    if (available < free || !file.open(QIODevice::Append | QIODevice::Unbuffered))
        return false;
    // tmpfs counts whole pages.
    const qint64 grow = (available - free) / 4096 * 4096;
    return file.write(QByteArray(grow, 'f')) == grow;
}

} // namespace kova::test
