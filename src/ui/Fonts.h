#pragma once

#include <QFont>
#include <QIcon>

namespace kova {

inline const QString JapaneseGothic = QStringLiteral("ＭＳ Ｐゴシック");

// Maps the Japanese gothic face that the windows name to a metric-compatible font from Debian.
void registerFontSubstitutions();

// The labels of the main window: 14.25 points, bold.
QFont labelFont();
// The nickname dialog's box and label: 12 points, regular.
QFont dialogFont();

// The red heart, at 32 x 32 and 16 x 16.
QIcon appIcon();

} // namespace kova
