#include "ChatRules.h"

#include <array>

namespace kova::web {

namespace {
const QString Registration = QStringLiteral("NAME:");
const std::array<QStringView, 2> Patterns = {u"NAME:", u"RNAME:"};
} // namespace

QString nicknameRefusal(QStringView name)
{
    if (name.isEmpty())
        return QStringLiteral("an empty nickname");
    if (name.contains(u':') || name.contains(u'+') || name.contains(u" > "))
        return QStringLiteral("a nickname with \":\", \"+\" or \" > \"");
    if (name.startsWith(u' ') || name.endsWith(u' '))
        return QStringLiteral("a nickname that begins or ends with a space");
    return {};
}

QString sendRefusal(QStringView text)
{
    if (text.startsWith(Registration)) {
        const QString refusal = nicknameRefusal(text.sliced(Registration.size()));
        return refusal.isEmpty() ? QString() : refusal + QStringLiteral(" (one registration per message)");
    }
    if (text.contains(Registration))
        return QStringLiteral("a chat line with \"NAME:\"");
    return {};
}

QString harmlessLine(const QString& line)
{
    // The proper beginnings of "RNAME:", whose last four are those of "NAME:".
    static const std::array<QStringView, 5> beginnings = {u"R", u"N", u"NA", u"NAM", u"NAME"};
    if (line.startsWith(Registration))
        return line;
    for (const QStringView beginning : beginnings) {
        if (line.endsWith(beginning))
            return line + u' ';
    }
    return line;
}

bool completesAPattern(QStringView previous, QStringView next)
{
    for (const QStringView pattern : Patterns) {
        for (qsizetype cut = 1; cut < pattern.size(); ++cut) {
            if (previous.endsWith(pattern.first(cut)) && next.startsWith(pattern.sliced(cut)))
                return true;
        }
    }
    return false;
}

} // namespace kova::web
