#pragma once

#include <QString>
#include <QStringView>

namespace kova {

// Text as a terminal shows it harmlessly on one line: C0 controls and DEL as ^X (a line break as ^J, an escape as
// ^[), C1 controls as U+FFFD.
QString printable(QStringView text);

} // namespace kova
