#pragma once

#include <QtGlobal>

namespace kova::test {

// Whether this kernel runs a thread in the time slice it asked for (Linux 6.12 and later).
bool kernelKeepsTimeSlices();

// The time slice in nanoseconds of thread tid of process pid, as /proc shows it; 0 when it cannot be read.
quint64 timeSliceOf(qint64 pid, qint64 tid);

} // namespace kova::test
