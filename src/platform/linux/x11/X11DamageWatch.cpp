#include "platform/linux/x11/X11DamageWatch.h"

#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <thread>

#include "platform/linux/x11/X11Connection.h"

namespace linuxplatform {

bool X11DamageWatch::start(Display* display) {
    int error = 0, major = 1, minor = 1;
    if (!XDamageQueryExtension(display, &eventBase_, &error) || !XDamageQueryVersion(display, &major, &minor))
        return false;
    parts_ = XFixesCreateRegion(display, nullptr, 0);
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
        auto it = damage_.find(w);
        if (it == damage_.end()) {
            damage_[w] = XDamageCreate(display_, w, XDamageReportNonEmpty);
            drawn_[w] = std::nullopt;
            continue;
        }
        XDamageSubtract(display_, it->second, None, parts_);
        XRectangle bounds{};
        int count = 0;
        XRectangle* rects = XFixesFetchRegionAndBounds(display_, parts_, &count, &bounds);
        if (rects) XFree(rects);
        auto known = drawn_.find(w);
        if (known == drawn_.end()) {
            drawn_[w] = count > 0 ? std::optional<XRectangle>(bounds) : std::optional<XRectangle>(XRectangle{});
        } else if (known->second && count > 0) {
            XRectangle& had = *known->second;
            if (had.width == 0 || had.height == 0) {
                had = bounds;
            } else {
                const int x0 = std::min<int>(had.x, bounds.x), y0 = std::min<int>(had.y, bounds.y);
                const int x1 = std::max(had.x + had.width, bounds.x + bounds.width);
                const int y1 = std::max(had.y + had.height, bounds.y + bounds.height);
                had = {static_cast<short>(x0), static_cast<short>(y0), static_cast<unsigned short>(x1 - x0),
                       static_cast<unsigned short>(y1 - y0)};
            }
        }
    }
    if (damage_.size() > followedWindows) {
        for (auto it = damage_.begin(); it != damage_.end();) {
            if (std::find(windows.begin(), windows.end(), it->first) == windows.end()) {
                XDamageDestroy(display_, it->second);
                drawn_.erase(it->first);
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
            if (gone) drawn_.erase(it->first);
            it = gone ? damage_.erase(it) : std::next(it);
        }
    }
}

std::optional<XRectangle> X11DamageWatch::takeDrawn(Window window) {
    auto it = drawn_.find(window);
    if (it == drawn_.end()) return std::nullopt;
    auto drawn = it->second;
    drawn_.erase(it);
    return drawn;
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
