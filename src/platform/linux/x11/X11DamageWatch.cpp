#include "platform/linux/x11/X11DamageWatch.h"

#include <X11/extensions/Xdamage.h>

#include <algorithm>
#include <thread>

#include "platform/linux/x11/X11Connection.h"

namespace linuxplatform {

bool X11DamageWatch::start(Display* display) {
    int error = 0, major = 1, minor = 1;
    if (!XDamageQueryExtension(display, &eventBase_, &error) || !XDamageQueryVersion(display, &major, &minor))
        return false;
    display_ = display;
    return true;
}

void X11DamageWatch::collect() {
    if (!display_) return;
    // After the round trip every report of drawing done before it is in the queue.
    XSync(display_, False);
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == eventBase_ + XDamageNotify)
            drew_.insert(reinterpret_cast<const XDamageNotifyEvent&>(event).drawable);
    }
}

bool X11DamageWatch::drew(const std::vector<Window>& windows) const {
    if (!display_) return true;
    return std::any_of(windows.begin(), windows.end(),
                       [this](Window w) { return !damage_.count(w) || drew_.count(w); });
}

void X11DamageWatch::reading(const std::vector<Window>& windows) {
    if (!display_) return;
    x11::ErrorTrap trap(display_);
    for (Window w : windows) {
        drew_.erase(w);
        // Non-empty reports: one event when a window starts drawing after it was read.
        if (auto it = damage_.find(w); it != damage_.end()) XDamageSubtract(display_, it->second, None, None);
        else damage_[w] = XDamageCreate(display_, w, XDamageReportNonEmpty);
    }
    if (damage_.size() > followedWindows) {
        for (auto it = damage_.begin(); it != damage_.end();) {
            if (std::find(windows.begin(), windows.end(), it->first) == windows.end()) {
                XDamageDestroy(display_, it->second);
                it = damage_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // A window gone meanwhile took its Damage object with it; it is followed anew if it comes back.
    if (trap.failed()) {
        for (auto it = damage_.begin(); it != damage_.end();) {
            XWindowAttributes attrs{};
            x11::ErrorTrap probe(display_);
            const bool gone = !XGetWindowAttributes(display_, it->first, &attrs) || probe.failed();
            it = gone ? damage_.erase(it) : std::next(it);
        }
    }
}

void X11DamageWatch::settle(const std::vector<Window>& windows, std::chrono::milliseconds quiet,
                            std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        reading(windows);
        if (!display_ || std::chrono::steady_clock::now() + quiet > deadline) return;
        std::this_thread::sleep_for(quiet);
        collect();
        if (!drew(windows)) return;
    }
}

}  // namespace linuxplatform
