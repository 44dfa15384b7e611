#pragma once

#include <QByteArray>
#include <QString>

// Text on the wire and in files is code page 932 (Shift_JIS with the Windows extensions), converted as
// Windows converts it.
namespace kova::cp932 {

// Characters that code page 932 cannot represent become "?", as the Windows conversion does. The JIS forms
// that input methods on Linux produce (〜 − ‖ — ¢ £ ¬ ¦) become the characters that Windows users type.
QByteArray encode(QStringView text);

// A stateful decoder: the lead byte of a double-byte character that ends one call is held and joined with
// the next call's first byte. Invalid sequences become "・" without swallowing a following character.
class Decoder {
public:
    QString decode(QByteArrayView bytes);

private:
    uchar m_lead = 0;
};

// Decodes bytes that stand alone: a lead byte at the very end is invalid, and becomes "・".
QString decode(QByteArrayView bytes);

} // namespace kova::cp932
