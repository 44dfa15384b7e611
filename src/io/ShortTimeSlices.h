#pragma once

namespace kova {

// The time slice a relaying thread asks for, in nanoseconds: the shortest the kernel grants.
inline constexpr unsigned long long ShortTimeSliceNs = 100'000;

// Asks the kernel to run the calling thread in short time slices. A thread that mostly waits and then passes a line
// on at once should not wait, when it wakes, for a busier thread sharing its core (the window painting, say) to use
// up a slice of its own: with a shorter slice than the running thread's, the waking one runs first. Its share of the
// processor stays the same, and so do its policy and nice value. Kernels before Linux 6.12 accept the request and
// ignore it. Returns 0, or the system's error number.
int askForShortTimeSlices();

} // namespace kova
