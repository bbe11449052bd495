#pragma once
// Where things lie on a compositor's outputs. Windows and panels are placed in the layout
// (logical pixels, y downward); a frame of one output has that output's own pixel density; the
// shared content speaks in points with y upward from the bottom of the layout.
#include <optional>
#include <vector>

#include "platform/Geometry.h"
#include "platform/ScreenCapture.h"
#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

class OutputGeometry {
public:
    static DesktopRect intersect(const DesktopRect& a, const DesktopRect& b);
    // The output holding the largest part of `rect`, as an index into `outputs`; nothing when none does.
    static std::optional<std::size_t> outputOf(const std::vector<DesktopRect>& outputs, const DesktopRect& rect);
    // The part of `rect` on `output`, in the output's own logical coordinates; empty when none.
    static DesktopRect onOutput(const DesktopRect& output, const DesktopRect& rect);
    // Paints black over each of `rects` in `frame`, a frame of all of `output`. Edges round outward so
    // that no sliver of a blanked window stays at a fractional scale.
    static void blank(platform::Image& frame, const DesktopRect& output, const std::vector<DesktopRect>& rects);

    // The bottom edge of the layout, the reference of points.
    static int layoutBottom(const std::vector<DesktopRect>& outputs);
    static platform::Rect toPoints(const DesktopRect& rect, int layoutBottom);
    static DesktopRect fromPoints(const platform::Rect& rect, int layoutBottom);
};

}  // namespace linuxplatform
