#include "platform/linux/wayland/OutputGeometry.h"

#include <algorithm>
#include <cmath>

namespace linuxplatform {

DesktopRect OutputGeometry::intersect(const DesktopRect& a, const DesktopRect& b) {
    const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const int x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

std::optional<std::size_t> OutputGeometry::outputOf(const std::vector<DesktopRect>& outputs, const DesktopRect& rect) {
    std::optional<std::size_t> best;
    long long bestArea = 0;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const DesktopRect part = intersect(outputs[i], rect);
        const long long area = static_cast<long long>(part.width) * part.height;
        if (area > bestArea) {
            bestArea = area;
            best = i;
        }
    }
    return best;
}

DesktopRect OutputGeometry::onOutput(const DesktopRect& output, const DesktopRect& rect) {
    DesktopRect part = intersect(output, rect);
    if (part.width <= 0 || part.height <= 0) return {};
    part.x -= output.x;
    part.y -= output.y;
    return part;
}

void OutputGeometry::blank(platform::Image& frame, const DesktopRect& output, const std::vector<DesktopRect>& rects) {
    if (output.width <= 0 || output.height <= 0 || frame.width <= 0 || frame.height <= 0) return;
    const double sx = static_cast<double>(frame.width) / output.width;
    const double sy = static_cast<double>(frame.height) / output.height;
    for (const auto& rect : rects) {
        const DesktopRect part = onOutput(output, rect);
        if (part.width <= 0) continue;
        const int x0 = std::clamp(static_cast<int>(std::floor(part.x * sx)), 0, frame.width);
        const int x1 = std::clamp(static_cast<int>(std::ceil((part.x + part.width) * sx)), 0, frame.width);
        const int y0 = std::clamp(static_cast<int>(std::floor(part.y * sy)), 0, frame.height);
        const int y1 = std::clamp(static_cast<int>(std::ceil((part.y + part.height) * sy)), 0, frame.height);
        for (int y = y0; y < y1; ++y) {
            std::uint8_t* p = frame.rgba.data() + (static_cast<std::size_t>(y) * frame.width + x0) * 4;
            for (int x = x0; x < x1; ++x, p += 4) {
                p[0] = p[1] = p[2] = 0;
                p[3] = 255;
            }
        }
    }
}

int OutputGeometry::layoutBottom(const std::vector<DesktopRect>& outputs) {
    int bottom = 0;
    for (const auto& o : outputs) bottom = std::max(bottom, o.y + o.height);
    return bottom;
}

platform::Rect OutputGeometry::toPoints(const DesktopRect& rect, int layoutBottom) {
    return {static_cast<double>(rect.x), static_cast<double>(layoutBottom - (rect.y + rect.height)),
            static_cast<double>(rect.width), static_cast<double>(rect.height)};
}

DesktopRect OutputGeometry::fromPoints(const platform::Rect& rect, int layoutBottom) {
    const int x = static_cast<int>(std::lround(rect.x)), width = static_cast<int>(std::lround(rect.width));
    const int height = static_cast<int>(std::lround(rect.height));
    return {x, layoutBottom - static_cast<int>(std::lround(rect.y)) - height, width, height};
}

}  // namespace linuxplatform
