#include "Printable.h"

namespace kova {

QString printable(QStringView text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F) {
            shown += u'^';
            shown += QChar(u ^ 0x40);
        } else if (u >= 0x80 && u < 0xA0) {
            shown += QChar::ReplacementCharacter;
        } else {
            shown += c;
        }
    }
    return shown;
}

} // namespace kova
