#pragma once
// The agent's own windows on screen (check-in panels, the privacy and status windows, alerts, menus),
// where the Qt layer shows them. Capture backends that see the screen read this to leave the agent's
// own text out of every frame; the workspace reads whether one of them is active.
//
// A window kept above the others (a panel, a menu) is blank wherever it lies. An ordinary window may
// lie under another application's, and where the desktop does not tell the stacking (GNOME) its frame
// alone would blank what covers it: there, only the parts of the frame that look as the window last
// drew itself are blank.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

class OwnWindows {
public:
    static OwnWindows& shared();

    struct Window {
        DesktopRect frame;   // desktop pixels, with what the desktop draws around it
        DesktopRect client;  // the part the agent draws
        bool onTop = true;
        std::shared_ptr<const platform::Image> look;  // the client as last drawn (RGBA), or nothing
    };

    // The window `key` now covers `frame` (desktop pixels); main thread.
    void shown(std::uintptr_t key, DesktopRect frame);
    void showWindow(std::uintptr_t key, const Window& window);
    void hidden(std::uintptr_t key);
    // The window `key` has (or lost) the keyboard focus; main thread.
    void setActive(std::uintptr_t key, bool active);
    // Any thread.
    std::vector<DesktopRect> frames() const;
    std::vector<Window> windows() const;
    bool anyActive() const;

    // Blanks the agent's windows in `image`, whose pixel (0, 0) lies at desktop point (`x`, `y`) and
    // which has `scale` pixels a point. Any thread.
    void blankIn(platform::Image& image, int x, int y, double scale) const;

private:
    mutable std::mutex mutex_;
    std::map<std::uintptr_t, Window> windows_;
    std::uintptr_t active_ = 0;
};

}  // namespace linuxplatform
