// Received bytes in arbitrary pieces: the stateful decoding never crashes, joins characters split between
// pieces exactly as if the bytes had come at once, never makes up a control code, and what it yields goes back
// on the wire unchanged.
#include "Cp932Codes.h"
#include "FuzzCheck.h"
#include "io/Cp932.h"

#include <cstdio>
#include <cstdlib>

using namespace kova;
using namespace kova::test::cp932codes;
using kova::fuzz::check;

namespace {

// The bytes that Windows writes for what the input says; empty when the input holds an invalid sequence
// (a lead byte without its trail byte, or an unassigned code), which no encoding gives back.
QByteArray windowsBytes(QByteArrayView input)
{
    QByteArray out;
    for (qsizetype i = 0; i < input.size(); ++i) {
        const auto b = uchar(input.at(i));
        if (!isLead(b)) {
            out.append(char(b));
            continue;
        }
        if (i + 1 == input.size() || !isTrail(uchar(input.at(i + 1))))
            return {};
        const auto code = quint16(b << 8 | uchar(input.at(++i)));
        if (code != 0x8145 && cp932::decode(input.sliced(i - 1, 2)) == QStringLiteral("・"))
            return {};
        const quint16 preferred = preferredCode(code);
        out.append(char(preferred >> 8));
        out.append(char(preferred & 0xff));
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView input(reinterpret_cast<const char*>(bytes) + 1, qsizetype(size - 1));
    const QString whole = cp932::decode(input);
    check(whole.size() <= input.size(), "never more characters than bytes");
    for (const QChar c : whole) {
        check(c.unicode() >= 0x80 || input.contains(char(c.unicode())),
              "a character below 80 (U+001A included) only where the input had that byte");
        check(c != QChar::ReplacementCharacter, "never U+FFFD");
    }

    // Cut at two places chosen by the first byte; a space after the last piece ends a lead byte held from it.
    const qsizetype first = input.size() * (bytes[0] & 0x0f) / 15;
    const qsizetype second = first + (input.size() - first) * (bytes[0] >> 4) / 15;
    cp932::Decoder decoder;
    QString pieces = decoder.decode(input.sliced(0, first));
    pieces += decoder.decode(input.sliced(first, second - first));
    pieces += decoder.decode(input.sliced(second));
    pieces += decoder.decode(" ");
    check(pieces == whole + u' ', "split input decodes as the whole");

    // Whatever was decoded has a code: nothing becomes "?" on its way back out.
    const QByteArray encoded = cp932::encode(whole);
    check(cp932::decode(encoded) == whole, "decoded text encodes back to the same text");
    if (const QByteArray expected = windowsBytes(input); !expected.isEmpty() || input.isEmpty())
        check(encoded == expected, "valid input goes back out as the bytes Windows writes for it");
    return 0;
}
