#pragma once

#include <QRect>

#include <functional>
#include <optional>

namespace kova {

// Places and sizes of the main window's controls, in twips (1/1440 inch) from the top left of the client area.
struct FormLayout {
    QRect Text3;
    QRect List1;
    QRect Text1;
    QRect Label1[3];

    // When the outer size is below the minimum, the outer width or height the window must take instead.
    std::optional<int> correctedWidth;
    std::optional<int> correctedHeight;

    static constexpr int MinWidth = 7707;
    static constexpr int MinHeight = 3870;

    // The layout as the window is defined, before any resize.
    static FormLayout defined();
    bool sameControls(const FormLayout& other) const;
};

// The toolkit's rounding of a size that was set on a control and is read back, in twips.
using ReadBack = std::function<int(int)>;

// Lays the controls out for the window's outer size (frame, title bar and menu bar included). Starts from the
// current layout: only what depends on the size changes. A minimized window is never corrected.
FormLayout FormResize(
    const FormLayout& current, int outerWidth, int outerHeight, bool minimized,
    const ReadBack& readBack = [](int twips) { return twips; });

} // namespace kova
