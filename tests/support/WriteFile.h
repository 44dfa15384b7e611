#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace kova::test {

// Writes the bytes as the whole file; false if that did not work.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace kova::test
