#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

// Text on the wire and in files is code page 932 (Shift_JIS with the Windows extensions), converted as
// Windows converts it.
namespace kova::cp932 {

// Characters that code page 932 cannot represent become "?", as the Windows conversion does.
QByteArray encode(QStringView text);

// A stateful decoder: a double-byte character split across two calls is joined, and invalid bytes become
// U+001A without swallowing what follows.
class Decoder {
public:
    Decoder();
    QString decode(QByteArrayView bytes);

private:
    QStringDecoder m_decoder;
};

QString decode(QByteArrayView bytes);

} // namespace kova::cp932
