#pragma once
// Where the window with keyboard focus lies, asked of the display system without the Qt layer
// knowing which one it is.
#include <functional>
#include <optional>

namespace linuxplatform {

// A rectangle of the desktop in pixels, y growing downward from its top-left corner.
struct DesktopRect {
    int x = 0, y = 0, width = 0, height = 0;
};

// The frame of the window with keyboard focus, or nothing when no window has it.
using FocusedWindowQuery = std::function<std::optional<DesktopRect>()>;

}  // namespace linuxplatform
