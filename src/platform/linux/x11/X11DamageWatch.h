#pragma once
// Which top-level windows drew since they were last read, from the X Damage extension. A screen
// that did not change is then not copied out of the server again, and a window still drawing (a
// page scrolling smoothly) is read once it has come to rest rather than half-way.
#include <X11/Xlib.h>

#include <chrono>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace linuxplatform {

class X11DamageWatch {
public:
    // On the connection the windows are read through; false when the server has no Damage extension.
    bool start(Display* display);
    bool available() const { return display_ != nullptr; }

    // Takes in every report the server sent up to now.
    void collect();
    // Whether any of these windows may have drawn since it was last read (never read counts).
    bool drew(const std::vector<Window>& windows) const;
    // Marks the windows as read from now on, following those not followed yet.
    void reading(const std::vector<Window>& windows);
    // Waits, while any of the windows keeps drawing, until none of them has drawn for `quiet`, or
    // `limit` has passed; the windows count as read from its end.
    void settle(const std::vector<Window>& windows, std::chrono::milliseconds quiet, std::chrono::milliseconds limit);

    // The part of a window (in its own coordinates, border excluded) that drew between the read
    // before the last `reading` and the last one; nothing when that is not known (a window followed
    // only since). Asking forgets it.
    std::optional<XRectangle> takeDrawn(Window window);

    // Windows followed at most; past it, those not in the last read are let go.
    static constexpr std::size_t followedWindows = 256;

private:
    Display* display_ = nullptr;
    int eventBase_ = 0;
    std::unordered_map<Window, unsigned long> damage_;  // window → its Damage object
    std::unordered_set<Window> drew_;
    // What each window drew since the caller last took it; nothing: all of it.
    std::unordered_map<Window, std::optional<XRectangle>> drawn_;
    unsigned long parts_ = 0;  // an XFixes region the drawn parts are fetched through
};

}  // namespace linuxplatform
