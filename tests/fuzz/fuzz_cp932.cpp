// Received bytes in arbitrary pieces: the stateful decoding never crashes, joins characters split between
// pieces exactly as if the bytes had come at once, and what it yields goes back on the wire unchanged.
#include "FuzzCheck.h"
#include "io/Cp932.h"

#include <cstdio>
#include <cstdlib>

using namespace kova;
using kova::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView input(reinterpret_cast<const char*>(bytes) + 1, qsizetype(size - 1));
    const QString whole = cp932::decode(input);
    check(whole.size() <= input.size(), "never more characters than bytes");

    // Cut at two places chosen by the first byte.
    const qsizetype first = input.size() * (bytes[0] & 0x0f) / 15;
    const qsizetype second = first + (input.size() - first) * (bytes[0] >> 4) / 15;
    cp932::Decoder decoder;
    QString pieces = decoder.decode(input.sliced(0, first));
    pieces += decoder.decode(input.sliced(first, second - first));
    pieces += decoder.decode(input.sliced(second));
    check(pieces == whole, "split input decodes as the whole");

    // A well-formed but unassigned double-byte code decodes to U+FFFD, which goes back out as "?".
    QString expected = whole;
    expected.replace(QChar(QChar::ReplacementCharacter), u'?');
    check(cp932::decode(cp932::encode(whole)) == expected, "decoded text encodes back to the same text");
    return 0;
}
