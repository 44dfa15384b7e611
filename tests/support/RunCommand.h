#pragma once

#include <QString>
#include <QStringList>

namespace kova::test {

// Runs a command (ip, mount ...) and waits for it; false with *error set when it fails.
bool run(const QString& program, const QStringList& arguments, QString* error = nullptr);

} // namespace kova::test
