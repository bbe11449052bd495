#include "platform/linux/common/OwnWindows.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace linuxplatform {

namespace {

constexpr int kTile = 16;

void paintBlack(platform::Image& image, int x0, int y0, int x1, int y1) {
    x0 = std::max(0, x0), y0 = std::max(0, y0);
    x1 = std::min(image.width, x1), y1 = std::min(image.height, y1);
    for (int row = y0; row < y1; ++row) {
        std::uint8_t* p = image.rgba.data() + (static_cast<std::size_t>(row) * image.width + x0) * 4;
        for (int col = x0; col < x1; ++col, p += 4) {
            p[0] = p[1] = p[2] = 0;
            p[3] = 255;
        }
    }
}

// Whether the image's tile at (`ix`, `iy`) shows the look's tile at (`lx`, `ly`), both `w`×`h`:
// nearly every pixel within a few levels (the compositor may blend or dither).
bool sameTile(const platform::Image& image, int ix, int iy, const platform::Image& look, int lx, int ly, int w, int h) {
    int differ = 0;
    for (int row = 0; row < h; ++row) {
        const std::uint8_t* a = image.rgba.data() + (static_cast<std::size_t>(iy + row) * image.width + ix) * 4;
        const std::uint8_t* b = look.rgba.data() + (static_cast<std::size_t>(ly + row) * look.width + lx) * 4;
        for (int col = 0; col < w; ++col, a += 4, b += 4)
            if (std::abs(a[0] - b[0]) > 12 || std::abs(a[1] - b[1]) > 12 || std::abs(a[2] - b[2]) > 12) ++differ;
    }
    return differ * 20 <= w * h;  // 95 % alike
}

}  // namespace

OwnWindows& OwnWindows::shared() {
    static OwnWindows windows;
    return windows;
}

void OwnWindows::shown(std::uintptr_t key, DesktopRect frame) { showWindow(key, Window{frame, frame, true, nullptr}); }

void OwnWindows::showWindow(std::uintptr_t key, const Window& window) {
    std::lock_guard lock(mutex_);
    windows_[key] = window;
}

void OwnWindows::hidden(std::uintptr_t key) {
    std::lock_guard lock(mutex_);
    windows_.erase(key);
    if (active_ == key) active_ = 0;
}

void OwnWindows::setActive(std::uintptr_t key, bool active) {
    std::lock_guard lock(mutex_);
    if (active)
        active_ = key;
    else if (active_ == key)
        active_ = 0;
}

bool OwnWindows::anyActive() const {
    std::lock_guard lock(mutex_);
    return active_ != 0;
}

std::vector<DesktopRect> OwnWindows::frames() const {
    std::lock_guard lock(mutex_);
    std::vector<DesktopRect> out;
    for (const auto& [key, window] : windows_) out.push_back(window.frame);
    return out;
}

std::vector<OwnWindows::Window> OwnWindows::windows() const {
    std::lock_guard lock(mutex_);
    std::vector<Window> out;
    for (const auto& [key, window] : windows_) out.push_back(window);
    return out;
}

void OwnWindows::blankIn(platform::Image& image, int x, int y, double scale) const {
    auto px = [&](int desktop, int origin) { return static_cast<int>(std::lround((desktop - origin) * scale)); };
    for (const auto& w : windows()) {
        const int fx0 = px(w.frame.x, x), fy0 = px(w.frame.y, y);
        const int fx1 = px(w.frame.x + w.frame.width, x), fy1 = px(w.frame.y + w.frame.height, y);
        const auto& look = w.look;
        const bool comparable = !w.onTop && look && std::abs(scale - 1.0) < 1e-6 && look->width == w.client.width &&
                                look->height == w.client.height;
        if (!comparable) {
            paintBlack(image, fx0, fy0, fx1, fy1);
            continue;
        }
        // Tile by tile: only what still shows the window's own drawing.
        bool topShown = false;
        for (int ty = 0; ty < look->height; ty += kTile)
            for (int tx = 0; tx < look->width; tx += kTile) {
                const int ix = w.client.x - x + tx, iy = w.client.y - y + ty;
                const int tw = std::min(kTile, look->width - tx), th = std::min(kTile, look->height - ty);
                if (ix < 0 || iy < 0 || ix + tw > image.width || iy + th > image.height) continue;
                if (!sameTile(image, ix, iy, *look, tx, ty, tw, th)) continue;
                paintBlack(image, ix, iy, ix + tw, iy + th);
                topShown = topShown || ty == 0;
            }
        // The title the desktop draws above it, where the window's top shows.
        if (topShown) paintBlack(image, fx0, fy0, fx1, w.client.y - y);
    }
}

}  // namespace linuxplatform
