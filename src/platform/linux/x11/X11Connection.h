#pragma once
// Small Xlib helpers shared by the workspace and the screen capture: a connection that never
// takes the process down, trapped protocol errors, and the few window properties we read.
#include <X11/Xlib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace x11 {

// Opens a connection to $DISPLAY with the non-fatal error handler installed; nullptr when there is none.
Display* openDisplay();

// Whether $DISPLAY names an X server that takes a connection now.
bool displayReachable();

// What the process does when the X server goes away. Xlib (and Qt above it) would end the process
// with exit() from whichever thread noticed first, while the others still run and the static
// destructors race them. Once set, the first connection to fail runs `leave` once, on the thread
// that noticed, and the process then ends with status 0; other threads that notice wait for it.
// Without it, Xlib's own handling stays.
void onDisplayLost(std::function<void()> leave);
// Runs what onDisplayLost set (once) and ends the process; for other layers that find the
// display gone. Does nothing when nothing was set.
void displayLost();

// Counts protocol errors on one connection between construction and `failed()`/`errorCode()`.
// Errors are never fatal; they only mark the trap.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    // Flushes the connection and reports whether any request since construction failed.
    bool failed();
    // The first error code seen (0 when none).
    int errorCode() const { return code_; }

private:
    Display* display_;
    unsigned long start_ = 0;
    int code_ = 0;
};

Atom atom(Display* display, const char* name);

// The 32-bit items of a window property (CARDINAL, WINDOW, ATOM), or nothing.
std::optional<std::vector<unsigned long>> cardinals(Display* display, Window window, Atom property, Atom type);
std::optional<unsigned long> cardinal(Display* display, Window window, Atom property, Atom type);
// A UTF8_STRING or STRING property as text.
std::optional<std::string> text(Display* display, Window window, const char* property);

struct WindowClass {
    std::optional<std::string> instance;  // res_name
    std::optional<std::string> className; // res_class
};
WindowClass windowClass(Display* display, Window window);
std::optional<int> windowPid(Display* display, Window window);
// _NET_ACTIVE_WINDOW of the root, or nothing when no window is active.
std::optional<Window> activeWindow(Display* display);
// The child of the root that holds `window` (the window manager's frame), or nothing.
std::optional<Window> topLevelAncestor(Display* display, Window window);

}  // namespace x11
