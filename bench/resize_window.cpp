// Resizes a top-level window on an X display back and forth between two sizes at a fixed interval, as an operator
// dragging its corner would, until it is ended; the window manager places each size as it would a drag.
//   kova_resize_window TITLE-PREFIX [--interval-ms N]
// Finds the first top-level client whose title starts with TITLE-PREFIX (on DISPLAY) within about ten seconds;
// exits 1 if there is none.
#include "Generator.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

using namespace kova::bench;

namespace {

volatile std::sig_atomic_t stopping = 0;

std::string titleOf(Display* display, Window window)
{
    char* name = nullptr;
    if (XFetchName(display, window, &name) == 0 || name == nullptr)
        return {};
    std::string title(name);
    XFree(name);
    return title;
}

// Depth first through the tree: the client may sit inside a frame of the window manager's.
Window find(Display* display, Window window, const std::string& prefix)
{
    if (titleOf(display, window).rfind(prefix, 0) == 0)
        return window;
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0)
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i)
        found = find(display, children[i], prefix);
    if (children != nullptr)
        XFree(children);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: kova_resize_window TITLE-PREFIX [--interval-ms N]\n");
        return 2;
    }
    const std::string prefix = argv[1];
    long intervalMs = 50;
    forEachOption(argc - 1, argv + 1, [&intervalMs](const std::string& key, const char* value) {
        if (key == "--interval-ms")
            intervalMs = std::max(1L, std::atol(value));
    });
    std::signal(SIGTERM, [](int) { stopping = 1; });

    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "kova_resize_window: cannot open the display\n");
        return 1;
    }
    Window window = 0;
    for (int attempt = 0; attempt < 100 && window == 0 && stopping == 0; ++attempt) {
        window = find(display, DefaultRootWindow(display), prefix);
        if (window == 0)
            ::usleep(100'000);
    }
    if (window == 0) {
        std::fprintf(stderr, "kova_resize_window: no window titled %s...\n", prefix.c_str());
        XCloseDisplay(display);
        return 1;
    }
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    const int width = attributes.width;
    const int height = attributes.height;
    long resizes = 0;
    for (bool larger = true; stopping == 0; larger = !larger) {
        XResizeWindow(display, window, unsigned(width + (larger ? 80 : 0)), unsigned(height + (larger ? 60 : 0)));
        XFlush(display);
        ++resizes;
        ::usleep(useconds_t(intervalMs * 1000));
    }
    XCloseDisplay(display);
    std::printf("RESULT resizes=%ld\n", resizes);
    return 0;
}
