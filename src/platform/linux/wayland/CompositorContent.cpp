#include "platform/linux/wayland/CompositorContent.h"

#include <unistd.h>

#include <algorithm>

#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/wayland/CompositorWindows.h"
#include "platform/linux/wayland/OutputGeometry.h"

namespace linuxplatform {
namespace {

std::vector<DesktopRect> places(const std::vector<WaylandOutput>& outputs) {
    std::vector<DesktopRect> out;
    for (const auto& o : outputs) out.push_back(o.logical);
    return out;
}

}  // namespace

platform::ShareableContent CompositorContent::list(const std::vector<WaylandOutput>& outputs,
                                                   const CompositorWindows* windows) {
    const auto rects = places(outputs);
    const int bottom = OutputGeometry::layoutBottom(rects);
    platform::ShareableContent content;
    for (const auto& o : outputs) content.displays.push_back({o.name, o.logical.width, o.logical.height});
    if (windows) {
        auto listed = windows->windows();
        std::reverse(listed.begin(), listed.end());
        std::stable_partition(listed.begin(), listed.end(), [](const auto& w) { return w.focused; });
        for (const auto& w : listed) {
            if (!w.visible || w.frame.width <= 0 || w.frame.height <= 0) continue;
            const bool shown = std::any_of(rects.begin(), rects.end(), [&w](const DesktopRect& r) {
                return OutputGeometry::intersect(r, w.frame).width > 0;
            });
            content.windows.push_back({w.id, w.pid, shown, OutputGeometry::toPoints(w.frame, bottom), w.title, w.appId});
        }
    }
    std::uint64_t index = 0;
    for (const auto& frame : OwnWindows::shared().frames())
        content.windows.push_back(
            {kOwnWindowBase + index++, static_cast<int>(getpid()), true, OutputGeometry::toPoints(frame, bottom)});
    return content;
}

std::vector<DesktopRect> CompositorContent::hidden(const std::vector<WaylandOutput>& outputs,
                                                   const std::vector<platform::ShareableWindow>& excluding) {
    const int bottom = OutputGeometry::layoutBottom(places(outputs));
    std::vector<DesktopRect> out = OwnWindows::shared().frames();
    for (const auto& w : excluding) out.push_back(OutputGeometry::fromPoints(w.frame, bottom));
    return out;
}

std::optional<DesktopRect> CompositorContent::frameOf(const CompositorWindows* windows, std::uint64_t id) {
    if (!windows || id >= kOwnWindowBase) return std::nullopt;
    for (const auto& w : windows->windows())
        if (w.id == id && w.visible && w.frame.width > 0 && w.frame.height > 0) return w.frame;
    return std::nullopt;
}

const WaylandOutput* CompositorContent::output(const std::vector<WaylandOutput>& outputs, std::uint64_t id) {
    auto found = std::find_if(outputs.begin(), outputs.end(), [id](const auto& o) { return o.name == id; });
    return found == outputs.end() ? nullptr : &*found;
}

}  // namespace linuxplatform
