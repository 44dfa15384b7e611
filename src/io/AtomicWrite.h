#pragma once

#include <QByteArray>
#include <QString>

namespace kova {

// Replaces the file at path with bytes in one step: until the new content is complete on disk the old file
// (or no file) stays, so a full disk or a crash never leaves a half-written file. Returns false with *error
// set to the system's reason.
bool writeAtomically(const QString& path, const QByteArray& bytes, QString* error);

// Appends bytes to the file at path, creating it, all or nothing: when a write fails part way, the file is cut
// back to what it held before (or removed, if this call made it). Returns false with *error set.
bool appendWhole(const QString& path, const QByteArray& bytes, QString* error);

} // namespace kova
