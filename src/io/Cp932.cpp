#include "Cp932.h"

#include <QStringEncoder>

#include <algorithm>

namespace kova::cp932 {

namespace {
constexpr auto CodecName = "windows-31j";

// ICU's table for this code page swaps three control codes the IBM way (bytes 1A, 1C and 7F stand for
// U+001C, U+007F and U+001A); Windows maps every byte below 80 to itself. None of the three is ever part of
// a double-byte character, so they can be put right byte by byte on the way in and out.
struct ByteSwap {
    char windows;
    char icu;
};
constexpr ByteSwap SwappedControls[] = {{'\x1a', '\x7f'}, {'\x1c', '\x1a'}, {'\x7f', '\x1c'}};

bool holdsSwappedControl(QByteArrayView bytes)
{
    return std::any_of(bytes.begin(), bytes.end(), [](char b) { return b == '\x1a' || b == '\x1c' || b == '\x7f'; });
}

// Rewrites the swapped control codes in place, from ICU's bytes to Windows' or back.
void remapControls(QByteArray& bytes, bool toWindows)
{
    for (char& b : bytes) {
        for (const ByteSwap& swap : SwappedControls) {
            if (b == (toWindows ? swap.icu : swap.windows)) {
                b = toWindows ? swap.windows : swap.icu;
                break;
            }
        }
    }
}

// A converter remembers that it met an unmappable character until it is destroyed, so each
// conversion takes a fresh one.
QStringEncoder newEncoder()
{
    return QStringEncoder(CodecName, QStringConverter::Flag::Stateless);
}

QByteArray icuEncode(QStringView text, bool* unmappable)
{
    QStringEncoder encoder = newEncoder();
    QByteArray bytes = encoder.encode(text);
    *unmappable = encoder.hasError();
    if (holdsSwappedControl(bytes))
        remapControls(bytes, true);
    return bytes;
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
        bool unmappable = false;
        const QByteArray bytes = icuEncode(text.mid(i, width), &unmappable);
        if (unmappable || bytes.isEmpty())
            out.append('?');
        else
            out.append(bytes);
        i += width;
    }
    return out;
}

QString icuDecode(QStringDecoder& decoder, QByteArrayView bytes)
{
    if (!holdsSwappedControl(bytes))
        return decoder.decode(bytes);
    QByteArray mapped = bytes.toByteArray();
    remapControls(mapped, false);
    return decoder.decode(mapped);
}
} // namespace

QByteArray encode(QStringView text)
{
    // Plain ASCII is the same bytes in code page 932 (backslash and tilde included): no converter needed.
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; }))
        return text.toLatin1();
    bool unmappable = false;
    QByteArray bytes = icuEncode(text, &unmappable);
    return unmappable ? encodeSubstituting(text) : bytes;
}

Decoder::Decoder()
    : m_decoder(CodecName)
{}

QString Decoder::decode(QByteArrayView bytes)
{
    return icuDecode(m_decoder, bytes);
}

QString decode(QByteArrayView bytes)
{
    QStringDecoder stateless(CodecName, QStringConverter::Flag::Stateless);
    return icuDecode(stateless, bytes);
}

} // namespace kova::cp932
