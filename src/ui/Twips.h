#pragma once

#include <QRect>
#include <QWidget>

#include <cmath>

namespace kova::twips {

constexpr double PerInch = 1440.0;

inline int toPixels(int twips, int dpi)
{
    return int(std::lround(twips * dpi / PerInch));
}

inline int fromPixels(int pixels, int dpi)
{
    return int(std::lround(pixels * PerInch / dpi));
}

// The smallest pixel count that is at least the given twips, so that a size corrected to a minimum
// reads back as no less than that minimum.
inline int toPixelsAtLeast(int twips, int dpi)
{
    return int(std::ceil(twips * dpi / PerInch));
}

inline QRect toPixels(const QRect& twips, const QWidget& widget)
{
    return {toPixels(twips.x(), widget.logicalDpiX()), toPixels(twips.y(), widget.logicalDpiY()),
            toPixels(twips.width(), widget.logicalDpiX()), toPixels(twips.height(), widget.logicalDpiY())};
}

} // namespace kova::twips
