#pragma once

#include <QString>

class QWidget;

namespace kova {

inline const QString AppTitle = QStringLiteral("KOVA");

// A box with the text, an OK button only, no icon and the title "KOVA". It is modal to its parent's window
// but does not block: the server goes on working while it is open.
void showMessage(QWidget* parent, const QString& text);

// Shows the box and waits until it is dismissed; for errors after which the program ends.
void showMessageAndWait(const QString& text);

// False where nobody can see a window (the offscreen and minimal platforms).
bool canShowWindows();

} // namespace kova
