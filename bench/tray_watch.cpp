// Watches the X display for a tray icon: a window whose WM_CLASS instance name is INSTANCE, viewable inside a tray
// host's window rather than at the top level. Prints "ready" once it watches, then "shown T" with the
// CLOCK_MONOTONIC time in seconds at which it saw the icon. Driven by events, so that the watcher takes no CPU
// from the program it times. Exits 1 when the icon has not shown within the time-out.
// Usage: stampo-bench-tray-watch INSTANCE [TIMEOUT_SECONDS]
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

// A window may vanish between two requests about it; Xlib's default handler would end the process.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct XFreeDeleter {
    void operator()(void* data) const { XFree(data); }
};

class Watcher final {
public:
    Watcher(Display* display, const char* instance)
        : m_display(display)
        , m_root(DefaultRootWindow(display))
        , m_instance(instance) {}

    // Asks for the creation, mapping and reparenting of the windows below `window`, and of `window` itself through
    // its parent; true when the icon is already among them.
    bool watch(Window window) {
        XSelectInput(m_display, window, SubstructureNotifyMask);
        return check(window, true);
    }

    // True when `window` or a window below it is the icon, on screen inside another client's window.
    bool check(Window window, bool selectChildren = false) {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(m_display, window, &root, &parent, &children, &count))
            return false;
        const std::unique_ptr<Window, XFreeDeleter> held(children);
        if (window != m_root && parent != m_root && isIcon(window))
            return true;
        for (unsigned i = 0; i < count; ++i)
            if (selectChildren ? watch(children[i]) : check(children[i]))
                return true;
        return false;
    }

private:
    bool isIcon(Window window) {
        XClassHint hint{};
        if (!XGetClassHint(m_display, window, &hint))
            return false;
        const std::unique_ptr<char, XFreeDeleter> name(hint.res_name);
        const std::unique_ptr<char, XFreeDeleter> className(hint.res_class);
        XWindowAttributes attributes{};
        return name && std::strcmp(name.get(), m_instance) == 0 &&
               XGetWindowAttributes(m_display, window, &attributes) && attributes.map_state == IsViewable;
    }

    Display* m_display;
    Window m_root;
    const char* m_instance;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: stampo-bench-tray-watch INSTANCE [TIMEOUT_SECONDS]\n");
        return 2;
    }
    const double timeout = argc > 2 ? std::atof(argv[2]) : 60.0;
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "stampo-bench-tray-watch: cannot open the display\n");
        return 2;
    }
    XSetErrorHandler(&ignoreErrors);
    Watcher watcher(display, argv[1]);
    bool shown = watcher.watch(DefaultRootWindow(display));
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);

    const double deadline = monotonicSeconds() + timeout;
    while (!shown && monotonicSeconds() < deadline) {
        if (XPending(display) == 0) {
            pollfd connection{ConnectionNumber(display), POLLIN, 0};
            poll(&connection, 1, static_cast<int>((deadline - monotonicSeconds()) * 1000) + 1);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == CreateNotify)
            shown = watcher.watch(event.xcreatewindow.window);
        else if (event.type == MapNotify)
            shown = watcher.check(event.xmap.window);
        else if (event.type == ReparentNotify)
            shown = watcher.check(event.xreparent.window);
    }
    if (shown)
        std::printf("shown %.6f\n", monotonicSeconds());
    XCloseDisplay(display);
    return shown ? 0 : 1;
}
