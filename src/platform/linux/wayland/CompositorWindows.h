#pragma once
// What a Wayland compositor tells of its windows, where it tells anything (sway IPC, a KWin
// script): the frontmost application's process and the windows' places. GNOME tells nothing.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

struct CompositorWindow {
    std::uint64_t id = 0;       // the compositor's own identifier, stable while the window lives
    std::optional<int> pid;     // nothing when the compositor does not know it
    std::string appId;          // app_id, or the X11 class of an Xwayland window
    DesktopRect frame;          // layout pixels, y growing downward
    bool focused = false;
    bool visible = false;       // on the current workspace of its output
    std::string title{};        // empty where the compositor does not tell
};

class CompositorWindows {
public:
    virtual ~CompositorWindows() = default;
    // A snapshot of the windows, topmost last where the compositor knows the order. Any thread.
    virtual std::vector<CompositorWindow> windows() const = 0;
};

}  // namespace linuxplatform
