#include "Fonts.h"

// The icons live in this static library: their resources must be registered by hand.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace kova {

void registerFontSubstitutions()
{
    QFont::insertSubstitutions(JapaneseGothic, {QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic")});
}

QFont labelFont()
{
    QFont font(JapaneseGothic);
    font.setPointSizeF(14.25);
    font.setWeight(QFont::Bold);
    return font;
}

QFont dialogFont()
{
    QFont font(JapaneseGothic);
    font.setPointSize(12);
    font.setWeight(QFont::Normal);
    return font;
}

QIcon appIcon()
{
    static const bool registered = (initIconResources(), true);
    Q_UNUSED(registered);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/heart32.xpm"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/heart16.xpm"), QSize(16, 16));
    return icon;
}

} // namespace kova
