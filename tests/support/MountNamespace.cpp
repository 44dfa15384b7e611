#include "MountNamespace.h"

#include <cerrno>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>

namespace kova::test {

bool enterPrivateMounts(QString* error)
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = QStringLiteral("private mount namespace: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

} // namespace kova::test
