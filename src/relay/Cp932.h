#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

// Text on the wire and in files is code page 932 (Shift_JIS with the Windows extensions).
namespace kova::cp932 {

// Characters that code page 932 cannot represent become "?", as the Windows conversion does.
QByteArray encode(QStringView text);

// A fresh stateful decoder: a double-byte character split across two calls is joined, and invalid
// bytes become U+001A without swallowing what follows.
QStringDecoder decoder();

QString decode(QByteArrayView bytes);

} // namespace kova::cp932
