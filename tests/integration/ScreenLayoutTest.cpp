// Layout units, shareable points and frame pixels of a streamed monitor.
#include <gtest/gtest.h>

#include "platform/linux/wayland/ScreenLayout.h"

namespace {

using linuxplatform::DesktopRect;
using linuxplatform::ScreenLayout;

bool same(const DesktopRect& a, const DesktopRect& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

TEST(ScreenLayout, MapsLayoutRectanglesToPointsAndScaledPixels) {
    // The second monitor of a layout, scaled 2x: 1280x720 layout units, 2560x1440 pixels.
    const ScreenLayout monitor{1920, 0, 1280, 720, 2560, 1440};
    const auto window = monitor.points({2020, 100, 300, 200});
    ASSERT_TRUE(window.has_value());
    EXPECT_EQ(*window, (platform::Rect{100, 420, 300, 200}));  // y upward from the monitor's bottom
    EXPECT_TRUE(same(monitor.pixels(*window), {200, 200, 600, 400}));
    EXPECT_TRUE(same(monitor.pixels(DesktopRect{2020, 100, 300, 200}), {200, 200, 600, 400}));

    EXPECT_FALSE(monitor.points({0, 0, 800, 600}).has_value());  // on the first monitor
    // Half off the right edge: cut to the frame.
    EXPECT_TRUE(same(monitor.pixels(DesktopRect{3100, 620, 200, 200}), {2360, 1240, 200, 200}));
    // Fractional points grow outward to whole pixels.
    const ScreenLayout odd{0, 0, 3, 3, 4, 4};
    EXPECT_TRUE(same(odd.pixels(platform::Rect{1, 1, 1, 1}), {1, 1, 2, 2}));
}

TEST(ScreenLayout, BlanksAndCropsFramePixels) {
    platform::Image image{4, 3, {}};
    for (int i = 0; i < 12; ++i) image.rgba.insert(image.rgba.end(), {std::uint8_t(i), 7, 9, 255});
    const auto part = linuxplatform::crop(image, {1, 1, 2, 2});
    ASSERT_EQ(part.width, 2);
    ASSERT_EQ(part.height, 2);
    EXPECT_EQ(part.rgba[0], 5);   // (1,1)
    EXPECT_EQ(part.rgba[12], 10); // (2,2)

    linuxplatform::blank(image, {3, 2, 5, 5});  // reaches past the corner
    EXPECT_EQ(image.rgba[11 * 4], 0);
    EXPECT_EQ(image.rgba[11 * 4 + 1], 0);
    EXPECT_EQ(image.rgba[10 * 4], 10);  // its neighbour untouched
    EXPECT_EQ(image.rgba[7 * 4], 7);
}

}  // namespace
