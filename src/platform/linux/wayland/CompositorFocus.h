#pragma once
// The compositor's own word on which window has the keyboard focus, where it gives one (sway IPC,
// a KWin script). It is exact where AT-SPI only tells of applications that expose themselves.
#include <functional>
#include <optional>

#include "platform/linux/wayland/CompositorWindows.h"

namespace linuxplatform {

class CompositorFocus {
public:
    using FocusHandler = std::function<void(const std::optional<CompositorWindow>&)>;
    virtual ~CompositorFocus() = default;
    // The window with focus now, or nothing. Any thread.
    virtual std::optional<CompositorWindow> focusedWindow() const = 0;
    // `handler` runs on the watcher's own thread at every change of the focused window, with nothing
    // when no window has it. One handler; a later call replaces it.
    virtual void followFocus(FocusHandler handler) = 0;
};

}  // namespace linuxplatform
