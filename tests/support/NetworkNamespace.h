#pragma once

#include <QString>

namespace kova::test {

// Moves the calling process into a network namespace of its own with the loopback interface up, so that
// the program can listen on its fixed port without meeting anything else. Needs root (or CAP_SYS_ADMIN);
// returns false with *error set otherwise. Call before any thread is started.
bool enterPrivateNetwork(QString* error);

} // namespace kova::test
