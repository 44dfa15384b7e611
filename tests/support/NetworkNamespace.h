#pragma once

#include <QString>
#include <QStringList>

namespace kova::test {

// Moves the calling process into a network namespace of its own with the loopback interface up, so that
// the program can listen on its fixed port without meeting anything else. Needs root (or CAP_SYS_ADMIN);
// returns false with *error set otherwise. Call before any thread is started.
bool enterPrivateNetwork(QString* error);

} // namespace kova::test

namespace kova::test {

// Moves the calling process into a mount namespace of its own whose mounts do not propagate back, so that
// tests can mount small file systems without touching the machine. Needs root, like enterPrivateNetwork().
bool enterPrivateMounts(QString* error);

// Runs a command (ip, mount ...) and waits for it; false with *error set when it fails.
bool run(const QString& program, const QStringList& arguments, QString* error = nullptr);

} // namespace kova::test
