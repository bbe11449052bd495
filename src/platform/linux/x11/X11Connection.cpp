#include "platform/linux/x11/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace x11 {
namespace {

// Xlib's error handler is process-wide; it records the error against the connection it
// came from and returns, so a vanished window never ends the program.
std::mutex& trapMutex() {
    static std::mutex m;
    return m;
}
struct Trapped {
    int depth = 0;              // traps open on the connection (they nest)
    unsigned long errors = 0;   // errors seen while any is open
    int lastCode = 0;
};
std::map<Display*, Trapped>& trapped() {
    static std::map<Display*, Trapped> traps;
    return traps;
}

int recordError(Display* display, XErrorEvent* event) {
    std::lock_guard lock(trapMutex());
    if (auto it = trapped().find(display); it != trapped().end()) {
        ++it->second.errors;
        it->second.lastCode = event->error_code;
    }
    return 0;
}

std::mutex& leaveMutex() {
    static std::mutex m;
    return m;
}
std::function<void()>& leaveAction() {
    static std::function<void()> action;
    return action;
}
XIOErrorHandler previousIOHandler = nullptr;

int connectionLost(Display* display) {
    displayLost();
    // Nobody asked for anything else: Xlib's (or Qt's) own way.
    if (previousIOHandler) return previousIOHandler(display);
    return 0;
}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(recordError);
        previousIOHandler = XSetIOErrorHandler(connectionLost);
    });
}

}  // namespace

Display* openDisplay() {
    installHandler();
    return XOpenDisplay(nullptr);
}

bool displayReachable() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

void onDisplayLost(std::function<void()> leave) {
    installHandler();
    std::lock_guard lock(leaveMutex());
    leaveAction() = std::move(leave);
}

void displayLost() {
    std::function<void()> action;
    {
        std::lock_guard lock(leaveMutex());
        action = leaveAction();
    }
    if (!action) return;
    // Only the first caller leaves; any other blocks here until the process is gone.
    static std::once_flag once;
    std::call_once(once, [&] {
        action();
        std::fflush(nullptr);
        ::_exit(0);
    });
}

ErrorTrap::ErrorTrap(Display* display) : display_(display) {
    installHandler();
    XSync(display_, False);
    std::lock_guard lock(trapMutex());
    auto& t = trapped()[display_];
    ++t.depth;
    start_ = t.errors;
}

ErrorTrap::~ErrorTrap() {
    XSync(display_, False);
    std::lock_guard lock(trapMutex());
    auto it = trapped().find(display_);
    if (it != trapped().end() && --it->second.depth <= 0) trapped().erase(it);
}

bool ErrorTrap::failed() {
    XSync(display_, False);
    std::lock_guard lock(trapMutex());
    auto it = trapped().find(display_);
    if (it != trapped().end() && it->second.errors > start_ && code_ == 0) code_ = it->second.lastCode;
    return code_ != 0;
}

Atom atom(Display* display, const char* name) { return XInternAtom(display, name, False); }

std::optional<std::vector<unsigned long>> cardinals(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    ErrorTrap trap(display);
    const int status = XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &format,
                                          &count, &after, &data);
    const bool bad = trap.failed();
    if (status != Success || bad || !data || actualType != type || format != 32) {
        if (data) XFree(data);
        return std::nullopt;
    }
    // Format-32 items arrive as longs whatever the width of long.
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    std::vector<unsigned long> out(items, items + count);
    XFree(data);
    return out;
}

std::optional<unsigned long> cardinal(Display* display, Window window, Atom property, Atom type) {
    auto items = cardinals(display, window, property, type);
    if (!items || items->empty()) return std::nullopt;
    return items->front();
}

std::optional<std::string> text(Display* display, Window window, const char* property) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    ErrorTrap trap(display);
    const int status = XGetWindowProperty(display, window, atom(display, property), 0, 65536, False,
                                          AnyPropertyType, &actualType, &format, &count, &after, &data);
    const bool bad = trap.failed();
    if (status != Success || bad || !data || format != 8) {
        if (data) XFree(data);
        return std::nullopt;
    }
    std::string out(reinterpret_cast<const char*>(data), count);
    XFree(data);
    return out;
}

WindowClass windowClass(Display* display, Window window) {
    WindowClass out;
    XClassHint hint{nullptr, nullptr};
    ErrorTrap trap(display);
    const Status ok = XGetClassHint(display, window, &hint);
    const bool bad = trap.failed();
    if (ok && !bad) {
        if (hint.res_name && *hint.res_name) out.instance = hint.res_name;
        if (hint.res_class && *hint.res_class) out.className = hint.res_class;
    }
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return out;
}

std::optional<int> windowPid(Display* display, Window window) {
    auto pid = cardinal(display, window, atom(display, "_NET_WM_PID"), XA_CARDINAL);
    if (!pid || *pid == 0) return std::nullopt;
    return static_cast<int>(*pid);
}

std::optional<Window> activeWindow(Display* display) {
    auto w = cardinal(display, DefaultRootWindow(display), atom(display, "_NET_ACTIVE_WINDOW"), XA_WINDOW);
    if (!w || *w == None) return std::nullopt;
    return static_cast<Window>(*w);
}

std::optional<Window> topLevelAncestor(Display* display, Window window) {
    const Window root = DefaultRootWindow(display);
    ErrorTrap trap(display);
    Window current = window;
    for (int depth = 0; depth < 64; ++depth) {
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int n = 0;
        const Status ok = XQueryTree(display, current, &rootReturn, &parent, &children, &n);
        if (children) XFree(children);
        if (!ok || trap.failed()) return std::nullopt;
        if (parent == root) return current;
        if (parent == None) return std::nullopt;
        current = parent;
    }
    return std::nullopt;
}

}  // namespace x11
