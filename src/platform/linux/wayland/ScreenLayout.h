#pragma once
// One monitor seen through a stream of its pixels: where it lies in the compositor's layout (in
// layout units, the points the screen reader works in) and how many pixels its frames have. Turns
// layout rectangles into the points of shareable content (y upward from the monitor's bottom) and
// points into the frame's pixels.
#include <optional>

#include "platform/Geometry.h"
#include "platform/ScreenCapture.h"
#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

struct ScreenLayout {
    int x = 0, y = 0, width = 0, height = 0;  // layout units; the frame's size where the compositor says none
    int pixelWidth = 0, pixelHeight = 0;

    // A rectangle of the layout (y downward) in points of this monitor, or nothing when it lies outside.
    std::optional<platform::Rect> points(const DesktopRect& layout) const;
    // Points of this monitor as frame pixels, cut to the frame; empty when nothing of it is inside.
    DesktopRect pixels(const platform::Rect& points) const;
    DesktopRect pixels(const DesktopRect& layout) const;
};

// The area painted opaque black.
void blank(platform::Image& image, const DesktopRect& area);
// A copy of the area (inside the image).
platform::Image crop(const platform::Image& image, const DesktopRect& area);

}  // namespace linuxplatform
