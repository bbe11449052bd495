#pragma once

namespace platform {

// Screen geometry in points, y growing upward from the bottom-left of the screen.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    double top() const { return y + height; }
    double bottom() const { return y; }
    double right() const { return x + width; }
    bool operator==(const Rect&) const = default;
};

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct Color {
    double r = 0, g = 0, b = 0, a = 1;
    bool operator==(const Color&) const = default;
};

}  // namespace platform
