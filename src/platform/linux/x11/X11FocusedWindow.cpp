#include "platform/linux/x11/X11FocusedWindow.h"

#include "platform/linux/x11/X11Connection.h"

namespace linuxplatform {

std::optional<DesktopRect> x11FocusedWindowFrame() {
    // One connection of its own for the whole run, opened at the first question.
    static Display* display = x11::openDisplay();
    if (!display) return std::nullopt;
    const auto active = x11::activeWindow(display);
    if (!active) return std::nullopt;
    x11::ErrorTrap trap(display);
    XWindowAttributes attributes{};
    int x = 0, y = 0;
    Window child = None;
    // A window closed meanwhile only fails the trap.
    const bool ok = XGetWindowAttributes(display, *active, &attributes) != 0 &&
                    XTranslateCoordinates(display, *active, attributes.root, 0, 0, &x, &y, &child) != 0;
    if (trap.failed() || !ok || attributes.width <= 0 || attributes.height <= 0) return std::nullopt;
    return DesktopRect{x, y, attributes.width, attributes.height};
}

}  // namespace linuxplatform
