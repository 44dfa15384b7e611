#include "Cp932.h"

#include <QStringEncoder>

#include <algorithm>

namespace kova::cp932 {

namespace {
constexpr auto CodecName = "windows-31j";

// A converter remembers that it met an unmappable character until it is destroyed, so each
// conversion takes a fresh one.
QStringEncoder newEncoder()
{
    return QStringEncoder(CodecName, QStringConverter::Flag::Stateless);
}

// Slow path, taken only when the text holds something that the code page lacks: ICU's own
// substitute would be the bytes FC FC, which clients show as garbage.
QByteArray encodeSubstituting(QStringView text)
{
    QByteArray out;
    out.reserve(text.size() * 2);
    for (qsizetype i = 0; i < text.size();) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const qsizetype width = pair ? 2 : 1;
        QStringEncoder encoder = newEncoder();
        const QByteArray bytes = encoder.encode(text.mid(i, width));
        if (encoder.hasError() || bytes.isEmpty())
            out.append('?');
        else
            out.append(bytes);
        i += width;
    }
    return out;
}
} // namespace

QByteArray encode(QStringView text)
{
    // Plain ASCII is the same bytes in code page 932 (backslash and tilde included): no converter needed.
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; }))
        return text.toLatin1();
    QStringEncoder encoder = newEncoder();
    QByteArray bytes = encoder.encode(text);
    if (!encoder.hasError())
        return bytes;
    return encodeSubstituting(text);
}

QStringDecoder decoder()
{
    return QStringDecoder(CodecName);
}

QString decode(QByteArrayView bytes)
{
    QStringDecoder stateless(CodecName, QStringConverter::Flag::Stateless);
    return stateless.decode(bytes);
}

} // namespace kova::cp932
