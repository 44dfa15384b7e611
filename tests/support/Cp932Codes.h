#pragma once

#include <QtGlobal>

// What the tests know of code page 932 from Windows' own table, independently of the converter under test.
namespace kova::test::cp932codes {

inline bool isLead(uchar b)
{
    return (b >= 0x81 && b <= 0x9f) || (b >= 0xe0 && b <= 0xfc);
}

inline bool isTrail(uchar b)
{
    return b >= 0x40 && b <= 0xfc && b != 0x7f;
}

// Assigned double-byte codes: JIS X 0208 (6,879), NEC row 13 (83), NEC-selected IBM extensions (374), IBM
// extensions (388) and the user-defined area (1,880).
constexpr int AssignedDoubleByteCodes = 9604;

// The code that Windows writes for the character of a double-byte code. Some characters have two or three codes:
// Windows prefers JIS X 0208 over NEC row 13, NEC row 13 over the IBM extensions, and the IBM extensions over
// their NEC-selected copies (ED40-EEFC).
inline quint16 preferredCode(quint16 code)
{
    struct Duplicate {
        quint16 from;
        quint16 to;
    };
    static constexpr Duplicate Singles[] = {{0x8790, 0x81e0}, {0x8791, 0x81df}, {0x8792, 0x81e7}, {0x8795, 0x81e3},
                                            {0x8796, 0x81db}, {0x8797, 0x81da}, {0x879a, 0x81e6}, {0x879b, 0x81bf},
                                            {0x879c, 0x81be}, {0xeef9, 0x81ca}, {0xfa54, 0x81ca}, {0xfa58, 0x878a},
                                            {0xfa59, 0x8782}, {0xfa5a, 0x8784}, {0xfa5b, 0x81e6}};
    for (const Duplicate& d : Singles) {
        if (code == d.from)
            return d.to;
    }
    // The NEC-selected copies of the IBM kanji, in the same order as those from FA5C on. Counting in valid trail
    // bytes (188 to a lead byte) carries over from one lead byte to the next.
    auto index = [](quint16 c) { return (c >> 8) * 188 + (c & 0xff) - 0x40 - ((c & 0xff) > 0x7f ? 1 : 0); };
    auto fromIndex = [](int i) {
        const int trail = i % 188 + 0x40;
        return quint16((i / 188) << 8 | (trail >= 0x7f ? trail + 1 : trail));
    };
    if (code >= 0xed40 && code <= 0xeeec)
        return fromIndex(index(0xfa5c) + index(code) - index(0xed40));
    if (code >= 0xeeef && code <= 0xeef8)
        return quint16(0xfa40 + (code - 0xeeef));
    if (code >= 0xeefa && code <= 0xeefc)
        return quint16(0xfa55 + (code - 0xeefa));
    if (code >= 0xfa4a && code <= 0xfa53)
        return quint16(0x8754 + (code - 0xfa4a));
    return code;
}

} // namespace kova::test::cp932codes
