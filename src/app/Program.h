#pragma once

namespace kova {

// Whether the program gets a window: a display is there (DISPLAY or WAYLAND_DISPLAY), or a Qt platform is chosen
// (the argument -platform, or QT_QPA_PLATFORM). Without, it runs as a server on standard output.
bool windowChosen(int argc, const char* const* argv);

// Puts /dev/null where standard input, output or error is closed, before anything else opens a file, so that no
// file or socket opened later takes their place and gets what is meant for them. Returns whether standard output
// was open.
bool reserveStandardStreams();

// Runs the program in the Qt application object that exists already, and returns its exit status.
int runProgram(bool withWindow, bool outputOpen = true);

} // namespace kova
