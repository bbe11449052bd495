// The pieces of compositor-native capture that need no compositor: pixel formats, the geometry of
// blanking and cropping, KWin's pipe and the desktop entry KWin authorizes.
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/linux/wayland/FrameConversion.h"
#include "platform/linux/wayland/KWinAuthorization.h"
#include "platform/linux/wayland/KWinScreenshotPipe.h"
#include "platform/linux/wayland/OutputGeometry.h"

namespace {

using namespace linuxplatform;

std::vector<std::uint8_t> rgbOf(const platform::Image& image) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
        out.insert(out.end(), image.rgba.begin() + i, image.rgba.begin() + i + 3);
        EXPECT_EQ(image.rgba[i + 3], 255);
    }
    return out;
}

TEST(WaylandFrameConversion, EachShmFormatGivesTheSameColoursRowsInOrderInvertedOrTurned) {
    // Two rows of one pixel each, red then blue, little-endian words, stride padded to 8 bytes.
    const std::vector<std::uint8_t> argb{0, 0, 255, 0x80, 9, 9, 9, 9, 255, 0, 0, 0x80, 9, 9, 9, 9};
    const std::vector<std::uint8_t> abgr{255, 0, 0, 0x80, 9, 9, 9, 9, 0, 0, 255, 0x80, 9, 9, 9, 9};
    const std::vector<std::uint8_t> redBlue{255, 0, 0, 0, 0, 255}, blueRed{0, 0, 255, 255, 0, 0};
    for (std::uint32_t format : {0u, 1u, 0x34325241u, 0x34325258u}) {  // ARGB, XRGB as wl_shm 0/1 and fourcc
        auto image = FrameConversion::fromShm(argb, 1, 2, 8, format, false);
        ASSERT_TRUE(image) << format;
        EXPECT_EQ(rgbOf(*image), redBlue) << format;
    }
    for (std::uint32_t format : {0x34324241u, 0x34324258u}) {  // ABGR, XBGR
        auto image = FrameConversion::fromShm(abgr, 1, 2, 8, format, true);
        ASSERT_TRUE(image) << format;
        EXPECT_EQ(rgbOf(*image), blueRed) << format;
    }
    EXPECT_FALSE(FrameConversion::fromShm(argb, 1, 2, 8, 0x36314752u, false));  // RGB565: not offered by us
    EXPECT_FALSE(FrameConversion::fromShm(argb, 1, 3, 8, 0, false));            // more rows than bytes
    EXPECT_FALSE(FrameConversion::fromShm(argb, 3, 2, 8, 0, false));            // a row wider than its stride
    // A 2x1 frame of a quarter-turned output stands 1x2 (every turn is checked against grim on sway).
    const auto turned = FrameConversion::turned({2, 1, {1, 1, 1, 255, 2, 2, 2, 255}}, 1);
    EXPECT_EQ(std::vector<int>({turned.width, turned.height}), std::vector<int>({1, 2}));
}

platform::Image white(int w, int h) { return {w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4, 255)}; }

std::string darkMap(const platform::Image& image) {
    std::string out;
    for (int y = 0; y < image.height; ++y, out += '|')
        for (int x = 0; x < image.width; ++x) out += image.rgba[(static_cast<std::size_t>(y) * image.width + x) * 4] ? '.' : '#';
    return out;
}

TEST(WaylandOutputGeometry, BlankingFollowsTheOutputsPlaceAndDensityRoundingOutward) {
    // An output at (100, 50) in the layout, 4x2 logical pixels, copied at 1.5 pixels per point (6x3).
    const DesktopRect output{100, 50, 4, 2};
    auto frame = white(6, 3);
    OutputGeometry::blank(frame, output, {{101, 50, 1, 1}});
    EXPECT_EQ(darkMap(frame), ".##...|.##...|......|");
    // Clipped to the output; a rect on another output changes nothing.
    frame = white(6, 3);
    OutputGeometry::blank(frame, output, {{103, 51, 10, 10}, {0, 0, 50, 50}});
    EXPECT_EQ(darkMap(frame), "......|....##|....##|");

    // A window mostly on the second of two outputs is captured there, in that output's coordinates.
    const std::vector<DesktopRect> outputs{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    const DesktopRect window{1800, 100, 600, 400};
    ASSERT_EQ(OutputGeometry::outputOf(outputs, window), 1u);
    const DesktopRect local = OutputGeometry::onOutput(outputs[1], window);
    EXPECT_EQ((std::vector<int>{local.x, local.y, local.width, local.height}), (std::vector<int>{0, 100, 480, 400}));
    EXPECT_FALSE(OutputGeometry::outputOf(outputs, {4000, 0, 10, 10}));

}

TEST(KWinScreenshotPipeTest, OnlyAReplyThatDescribesTheBytesReadGivesAnImage) {
    // 2x1 ARGB32 (QImage format 5), a stride of 12; the image itself comes through a real KWin in
    // KWinScreenCaptureTest.
    const QVariantMap results{{"type", "raw"}, {"width", 2u}, {"height", 1u}, {"stride", 12u}, {"format", 5u}};
    const std::vector<std::uint8_t> bytes{0, 0, 255, 255, 0, 255, 0, 255, 0, 0, 0, 0};
    ASSERT_EQ(KWinScreenshotPipe::expectedSize(results), 12u);
    auto decoded = KWinScreenshotPipe::decode(results, bytes);
    ASSERT_TRUE(std::holds_alternative<platform::Image>(decoded));
    EXPECT_EQ(rgbOf(std::get<platform::Image>(decoded)), (std::vector<std::uint8_t>{255, 0, 0, 0, 255, 0}));
    // Too few bytes, a reply without a stride, a giant claim.
    EXPECT_TRUE(std::holds_alternative<std::string>(KWinScreenshotPipe::decode(results, {bytes.data(), 8})));
    QVariantMap broken = results;
    broken.remove("stride");
    EXPECT_TRUE(std::holds_alternative<std::string>(KWinScreenshotPipe::decode(broken, bytes)));
    broken = results;
    broken["height"] = 2000000000u;
    EXPECT_EQ(KWinScreenshotPipe::expectedSize(broken), 0u);
}

TEST(KWinAuthorizationTest, OnlyAnEntryNamingThisExactProgramAndTheInterfaceAuthorizes) {
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    const std::string key = "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenCast,org.kde.KWin.ScreenShot2\n";
    EXPECT_TRUE(KWinAuthorization::entryAuthorizes("[Desktop Entry]\nExec=" + self + "\n" + key, self));
    // KWin takes the whole Exec as the path: arguments, a bare name or another program do not match.
    EXPECT_FALSE(KWinAuthorization::entryAuthorizes("[Desktop Entry]\nExec=" + self + " %u\n" + key, self));
    EXPECT_FALSE(KWinAuthorization::entryAuthorizes("[Desktop Entry]\nExec=" + std::filesystem::path(self).filename().string() + "\n" + key, self));
    EXPECT_FALSE(KWinAuthorization::entryAuthorizes("[Desktop Entry]\nExec=/bin/sh\n" + key, self));
    // The interface must be listed, in the main group.
    EXPECT_FALSE(KWinAuthorization::entryAuthorizes("[Desktop Entry]\nExec=" + self + "\n", self));
    EXPECT_FALSE(KWinAuthorization::entryAuthorizes("[Desktop Entry]\nExec=" + self + "\n[Desktop Action x]\n" + key, self));
}

}  // namespace
