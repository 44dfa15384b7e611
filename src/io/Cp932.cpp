#include "Cp932.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <array>
#include <memory>

namespace kova::cp932 {

namespace {
constexpr auto CodecName = "windows-31j";
// What Windows makes of a byte sequence that is not a character: "・".
constexpr char16_t Invalid = u'\u30FB';

// A code of one byte (0x00 to 0xFF) or two (lead byte in the high half); NoCode where the code page has none.
constexpr quint16 NoCode = 0xFFFF;
constexpr int LeadBytes = 60;

bool isLead(uchar b)
{
    return (b >= 0x81 && b <= 0x9f) || (b >= 0xe0 && b <= 0xfc);
}

bool isTrail(uchar b)
{
    return b >= 0x40 && b <= 0xfc && b != 0x7f;
}

int leadRow(uchar lead)
{
    return lead <= 0x9f ? lead - 0x81 : lead - 0xe0 + 0x1f;
}

// Every byte above 7F that is not a lead byte is a character of its own: the halfwidth katakana, and five bytes
// that Windows maps onto U+0080 and into the private use area so that they come back unchanged.
char16_t singleByte(uchar b)
{
    if (b >= 0xa1 && b <= 0xdf)
        return char16_t(0xff61 + (b - 0xa1));
    switch (b) {
    case 0x80:
        return u'\u0080';
    case 0xa0:
        return u'\uF8F0';
    default: // FD, FE, FF
        return char16_t(0xf8f1 + (b - 0xfd));
    }
}

// The JIS forms that input methods on Linux produce, which the code page lacks, sent as the characters that
// Windows users type and see in their place.
struct OwnForm {
    char16_t character;
    quint16 code;
};
constexpr OwnForm JisForms[] = {{u'\u301C', 0x8160}, {u'\u2212', 0x817c}, {u'\u2016', 0x8161}, {u'\u2014', 0x815c},
                                {u'\u00A2', 0x8191}, {u'\u00A3', 0x8192}, {u'\u00AC', 0x81ca}, {u'\u00A6', 0xfa55}};

struct Tables {
    // The character of each lead and trail byte pair, at leadRow(lead) * 256 + trail; "・" where unassigned.
    std::array<char16_t, LeadBytes * 256> pairs;
    // The code of each character of the Basic Multilingual Plane.
    std::array<quint16, 0x10000> codes;
};

// The double-byte characters come from the system's converter, whose table for this code page matches Windows'
// for every assigned code, and whose choice among duplicate codes is Windows' too (IBM's extensions before the
// NEC-selected copies). Everything else is put in by hand: the converter maps the control codes 1A, 1C and 7F
// the IBM way, and has nothing for the five single bytes of Windows' own.
std::unique_ptr<Tables> buildTables()
{
    auto t = std::make_unique<Tables>();
    t->pairs.fill(Invalid);
    t->codes.fill(NoCode);
    for (int b = 0; b < 0x100; ++b) {
        if (b < 0x80)
            t->codes[std::size_t(b)] = quint16(b);
        else if (!isLead(uchar(b)))
            t->codes[singleByte(uchar(b))] = quint16(b);
    }

    QStringDecoder decoder(CodecName, QStringConverter::Flag::Stateless);
    QStringEncoder encoder(CodecName, QStringConverter::Flag::Stateless);
    if (!decoder.isValid() || !encoder.isValid())
        qFatal("No converter for code page 932 (%s) in this Qt", CodecName);
    QString assigned;
    char pair[2];
    for (int lead = 0x81; lead <= 0xfc; ++lead) {
        if (!isLead(uchar(lead)))
            continue;
        for (int trail = 0x40; trail <= 0xfc; ++trail) {
            if (!isTrail(uchar(trail)))
                continue;
            pair[0] = char(lead);
            pair[1] = char(trail);
            const QString c = decoder.decode(QByteArrayView(pair, 2));
            if (c.size() != 1 || c.front() == QChar::ReplacementCharacter || c.front().unicode() < 0x80)
                continue;
            t->pairs[std::size_t(leadRow(uchar(lead)) * 256 + trail)] = c.front().unicode();
            assigned += c;
        }
    }
    // All assigned characters at once, each encoded to the code that Windows chooses for it.
    const QByteArray codes = encoder.encode(assigned);
    if (encoder.hasError() || codes.size() != assigned.size() * 2)
        qFatal("The converter for code page 932 (%s) does not encode its own characters", CodecName);
    for (qsizetype i = 0, at = 0; i < assigned.size(); ++i, at += 2)
        t->codes[assigned.at(i).unicode()] = quint16(uchar(codes.at(at)) << 8 | uchar(codes.at(at + 1)));

    for (const OwnForm& form : JisForms)
        t->codes[form.character] = form.code;
    return t;
}

const Tables& tables()
{
    static const std::unique_ptr<Tables> built = buildTables();
    return *built;
}

bool isAscii(QByteArrayView bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char b) { return uchar(b) < 0x80; });
}

// Decodes bytes after a lead byte held from before (0 for none). A lead byte at the end is held again when
// heldLead is given, and is invalid otherwise.
QString decodeBytes(QByteArrayView bytes, uchar lead, uchar* heldLead)
{
    if (lead == 0 && isAscii(bytes))
        return QString::fromLatin1(bytes);
    const Tables& t = tables();
    QString text(bytes.size() + 1, Qt::Uninitialized);
    char16_t* const begin = reinterpret_cast<char16_t*>(text.data());
    char16_t* out = begin;
    for (const char c : bytes) {
        const auto b = uchar(c);
        if (lead != 0) {
            if (isTrail(b)) {
                *out++ = t.pairs[std::size_t(leadRow(lead) * 256 + b)];
                lead = 0;
                continue;
            }
            // Not a trail byte: it stands on its own, so a printable character is never swallowed.
            *out++ = Invalid;
            lead = 0;
        }
        if (b < 0x80)
            *out++ = b;
        else if (isLead(b))
            lead = b;
        else
            *out++ = singleByte(b);
    }
    if (heldLead)
        *heldLead = lead;
    else if (lead != 0)
        *out++ = Invalid;
    text.truncate(out - begin);
    return text;
}
} // namespace

QByteArray encode(QStringView text)
{
    // Plain ASCII is the same bytes in code page 932 (backslash and tilde included): no table needed.
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; }))
        return text.toLatin1();
    const Tables& t = tables();
    QByteArray bytes(text.size() * 2, Qt::Uninitialized);
    char* out = bytes.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const quint16 code = t.codes[c];
        if (code == NoCode) {
            *out++ = '?';
            // A character beyond the Basic Multilingual Plane is one "?", not two.
            if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                ++i;
        } else if (code > 0xff) {
            *out++ = char(code >> 8);
            *out++ = char(code & 0xff);
        } else {
            *out++ = char(code);
        }
    }
    bytes.truncate(out - bytes.constData());
    return bytes;
}

QString Decoder::decode(QByteArrayView bytes)
{
    return decodeBytes(bytes, m_lead, &m_lead);
}

QString decode(QByteArrayView bytes)
{
    return decodeBytes(bytes, 0, nullptr);
}

} // namespace kova::cp932
