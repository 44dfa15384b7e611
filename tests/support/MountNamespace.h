#pragma once

#include <QString>

namespace kova::test {

// Moves the calling process into a mount namespace of its own whose mounts do not propagate back, so that
// tests can mount small file systems without touching the machine. Needs root, like enterPrivateNetwork().
bool enterPrivateMounts(QString* error);

} // namespace kova::test
