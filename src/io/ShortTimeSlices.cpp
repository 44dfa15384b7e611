#include "ShortTimeSlices.h"

// The kernel's own headers: glibc before 2.41 declares neither the calls nor their structure.
#include <linux/sched.h>
#include <linux/sched/types.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kova {

int askForShortTimeSlices()
{
    // Read first, so that only the slice changes.
    sched_attr attributes{};
    if (syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) != 0)
        return errno;
    // Another policy someone chose for the program (real-time, batch, idle) stays as it is.
    if (attributes.sched_policy != SCHED_NORMAL)
        return 0;
    // The flags as read keep a reset-on-fork someone chose.
    attributes.size = sizeof attributes;
    attributes.sched_runtime = ShortTimeSliceNs;
    if (syscall(SYS_sched_setattr, 0, &attributes, 0) != 0)
        return errno;
    return 0;
}

} // namespace kova
