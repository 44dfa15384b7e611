#include "FormLayout.h"

namespace kova {

FormLayout FormLayout::defined()
{
    FormLayout layout;
    layout.Text3 = QRect(0, 480, 6375, 3135);
    layout.List1 = QRect(6480, 480, 2655, 3120);
    layout.Label1[0] = QRect(120, 120, 1815, 375);
    layout.Label1[1] = QRect(6480, 120, 1815, 375);
    layout.Text1 = QRect(840, 3720, 8175, 615);
    layout.Label1[2] = QRect(120, 3840, 855, 375);
    return layout;
}

bool FormLayout::sameControls(const FormLayout& other) const
{
    return Text3 == other.Text3 && List1 == other.List1 && Text1 == other.Text1 && Label1[0] == other.Label1[0] &&
           Label1[1] == other.Label1[1] && Label1[2] == other.Label1[2];
}

FormLayout FormResize(const FormLayout& current, int outerWidth, int outerHeight, bool minimized,
                      const ReadBack& readBack)
{
    FormLayout layout = current;
    layout.correctedWidth.reset();
    layout.correctedHeight.reset();

    if (outerWidth >= FormLayout::MinWidth) {
        layout.Text3.setWidth(readBack(outerWidth - 3000));
        layout.List1.moveLeft(layout.Text3.width() + 100);
        layout.Text1.setWidth(readBack(layout.List1.width() + layout.Text3.width() - 700));
        layout.Label1[1].moveLeft(layout.Text3.width() + 30);
        layout.Label1[1].setWidth(readBack(outerWidth - 3000));
    } else if (!minimized) {
        layout.correctedWidth = FormLayout::MinWidth;
    }

    if (outerHeight >= FormLayout::MinHeight) {
        layout.Text3.setHeight(readBack(outerHeight - 2000));
        layout.List1.setHeight(readBack(outerHeight - 2000));
        layout.Text1.moveTop(layout.Text3.height() + 550);
        layout.Label1[2].moveTop(layout.Text3.height() + 550);
    } else if (!minimized) {
        layout.correctedHeight = FormLayout::MinHeight;
    }
    return layout;
}

} // namespace kova
