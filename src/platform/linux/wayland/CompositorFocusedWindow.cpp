#include "platform/linux/wayland/CompositorFocusedWindow.h"

namespace linuxplatform {

FocusedWindowQuery compositorFocusedWindow(std::shared_ptr<const CompositorWindows> windows) {
    return [windows = std::move(windows)]() -> std::optional<DesktopRect> {
        if (!windows) return std::nullopt;
        for (const auto& w : windows->windows())
            if (w.focused && w.frame.width > 0 && w.frame.height > 0) return w.frame;
        return std::nullopt;
    };
}

}  // namespace linuxplatform
