#include "platform/linux/wayland/ScreenLayout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace linuxplatform {

std::optional<platform::Rect> ScreenLayout::points(const DesktopRect& layout) const {
    const int left = layout.x - x, top = layout.y - y;
    if (layout.width <= 0 || layout.height <= 0 || left >= width || top >= height || left + layout.width <= 0 ||
        top + layout.height <= 0)
        return std::nullopt;
    return platform::Rect{static_cast<double>(left), static_cast<double>(height - (top + layout.height)),
                          static_cast<double>(layout.width), static_cast<double>(layout.height)};
}

DesktopRect ScreenLayout::pixels(const platform::Rect& p) const {
    if (width <= 0 || height <= 0) return {};
    const double sx = static_cast<double>(pixelWidth) / width, sy = static_cast<double>(pixelHeight) / height;
    // Outward to whole pixels, so that nothing of a left-out window shows at its edges.
    const int x0 = std::max(0, static_cast<int>(std::floor(p.x * sx)));
    const int y0 = std::max(0, static_cast<int>(std::floor((height - p.top()) * sy)));
    const int x1 = std::min(pixelWidth, static_cast<int>(std::ceil(p.right() * sx)));
    const int y1 = std::min(pixelHeight, static_cast<int>(std::ceil((height - p.bottom()) * sy)));
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

DesktopRect ScreenLayout::pixels(const DesktopRect& layout) const {
    const auto p = points(layout);
    return p ? pixels(*p) : DesktopRect{};
}

void blank(platform::Image& image, const DesktopRect& area) {
    const int x0 = std::max(0, area.x), y0 = std::max(0, area.y);
    const int x1 = std::min(image.width, area.x + area.width), y1 = std::min(image.height, area.y + area.height);
    for (int row = y0; row < y1; ++row) {
        std::uint8_t* p = image.rgba.data() + (static_cast<std::size_t>(row) * image.width + x0) * 4;
        for (int col = x0; col < x1; ++col, p += 4) {
            p[0] = p[1] = p[2] = 0;
            p[3] = 255;
        }
    }
}

platform::Image crop(const platform::Image& image, const DesktopRect& area) {
    platform::Image out;
    out.width = area.width;
    out.height = area.height;
    out.rgba.resize(static_cast<std::size_t>(area.width) * area.height * 4);
    for (int row = 0; row < area.height; ++row)
        std::memcpy(out.rgba.data() + static_cast<std::size_t>(row) * area.width * 4,
                    image.rgba.data() + (static_cast<std::size_t>(area.y + row) * image.width + area.x) * 4,
                    static_cast<std::size_t>(area.width) * 4);
    return out;
}

}  // namespace linuxplatform
