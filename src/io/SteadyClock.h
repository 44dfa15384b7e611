#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>

namespace kova {

// Monotonic nanoseconds: for measuring intervals, which the wall clock's jumps must not stretch or shrink. The tests
// inject one they move by hand.
using SteadyClock = std::function<qint64()>;

inline qint64 steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace kova
