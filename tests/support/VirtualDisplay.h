#pragma once

#include <QProcess>
#include <QString>

namespace kova::test {

// An X server of the test's own (Xvfb) on a display number that it picks itself, and a window manager (openbox) on
// it when asked for one; both end with the test, even when the test dies. Tests that use it are added with X11 in
// tests/CMakeLists.txt, which gives them and what they start the sanitizer options that the X libraries need.
class VirtualDisplay {
public:
    enum class WindowManager { None, Openbox };

    explicit VirtualDisplay(WindowManager windowManager = WindowManager::None);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Empty once the server (and the window manager) are ready.
    QString error() const { return m_error; }
    // The value for DISPLAY, ":1" say.
    QString name() const { return m_name; }
    // Whether a window with this title is on the screen.
    bool showsWindow(const QString& title) const;

    // In a network namespace of its own every display number looks free to an X server, which then replaces another
    // X server's socket file with its own, and writes its compiled keymap to the file another one of that number
    // uses: call this first, in a private mount namespace, to give it folders of its own for both.
    static bool useOwnFolders(QString* error);

private:
    QProcess m_server;
    QProcess m_windowManager;
    QString m_name;
    QString m_error;
};

} // namespace kova::test
