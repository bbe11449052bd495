#pragma once
// The shareable content of a Wayland session, as the compositor-native capture backends list it:
// one display per output, the windows the compositor tells of, and the agent's own panels under
// the agent's own process id (so that the screen reader leaves them out of a display).
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/common/FocusedWindow.h"
#include "platform/linux/wayland/WlrScreencopyClient.h"

namespace linuxplatform {

class CompositorWindows;

class CompositorContent {
public:
    // The ids under which the agent's own panels are listed.
    static constexpr std::uint64_t kOwnWindowBase = 0xffff'0000'0000'0000ull;

    // `windows` may be null. Windows topmost first, the focused one before all.
    static platform::ShareableContent list(const std::vector<WaylandOutput>& outputs, const CompositorWindows* windows);
    // What to paint over in a display frame (layout pixels): the excluded windows, and the agent's
    // panels where they are now, as they may have moved since the content was listed.
    static std::vector<DesktopRect> hidden(const std::vector<WaylandOutput>& outputs,
                                           const std::vector<platform::ShareableWindow>& excluding);
    // Where a listed window is now, when the compositor still shows it; never one of the agent's panels.
    static std::optional<DesktopRect> frameOf(const CompositorWindows* windows, std::uint64_t id);
    static const WaylandOutput* output(const std::vector<WaylandOutput>& outputs, std::uint64_t id);
};

}  // namespace linuxplatform
