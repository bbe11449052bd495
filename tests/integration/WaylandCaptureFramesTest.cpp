// The pieces of compositor-native capture that need no compositor: pixel formats, the geometry of
// blanking and cropping, KWin's pipe and the desktop entry KWin authorizes.
#include <unistd.h>

#include <QImage>
#include <filesystem>
#include <thread>

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

TEST(WaylandFrameConversion, EachShmFormatGivesTheSameColoursRowsInOrderOrInverted) {
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
}

TEST(WaylandFrameConversion, KWinFormatsAndTurnedOutputs) {
    // QImage::Format_RGB888 (13): three bytes a pixel, rows padded to four.
    const std::vector<std::uint8_t> rgb{10, 20, 30, 40, 50, 60, 0, 0};
    auto image = FrameConversion::fromQImage(rgb, 2, 1, 8, QImage::Format_RGB888);
    ASSERT_TRUE(image);
    EXPECT_EQ(rgbOf(*image), (std::vector<std::uint8_t>{10, 20, 30, 40, 50, 60}));
    const std::vector<std::uint8_t> premultiplied{30, 20, 10, 255};
    image = FrameConversion::fromQImage(premultiplied, 1, 1, 4, QImage::Format_ARGB32_Premultiplied);
    ASSERT_TRUE(image);
    EXPECT_EQ(rgbOf(*image), (std::vector<std::uint8_t>{10, 20, 30}));
    EXPECT_FALSE(FrameConversion::fromQImage(rgb, 2, 1, 8, 0));    // Format_Invalid
    EXPECT_FALSE(FrameConversion::fromQImage(rgb, 2, 1, 8, 999));  // no such format

    // A 2x1 frame of a quarter-turned output stands 1x2.
    platform::Image wide{2, 1, {1, 1, 1, 255, 2, 2, 2, 255}};
    const auto turned = FrameConversion::turned(wide, 1);
    EXPECT_EQ(turned.width, 1);
    EXPECT_EQ(turned.height, 2);
    EXPECT_EQ(FrameConversion::turned(wide, 0).rgba, wide.rgba);
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

    // Points grow upward from the layout's bottom and come back unchanged.
    const int bottom = OutputGeometry::layoutBottom(outputs);
    EXPECT_EQ(bottom, 1080);
    EXPECT_EQ(OutputGeometry::toPoints(window, bottom), (platform::Rect{1800, 580, 600, 400}));
    const DesktopRect back = OutputGeometry::fromPoints(OutputGeometry::toPoints(window, bottom), bottom);
    EXPECT_EQ((std::vector<int>{back.x, back.y, back.width, back.height}), (std::vector<int>{1800, 100, 600, 400}));
}

TEST(KWinScreenshotPipeTest, TheImageWrittenAfterTheReplyIsReadAndDecoded) {
    // 3x2 ARGB32 (QImage format 5) with a stride of 16: what KWin writes from its own thread.
    const QVariantMap results{{"type", "raw"}, {"width", 3u}, {"height", 2u}, {"stride", 16u}, {"format", 5u}};
    std::vector<std::uint8_t> pixels(32, 0);
    for (int i = 0; i < 3; ++i) pixels[i * 4 + 2] = pixels[i * 4 + 3] = 255;           // red row
    for (int i = 0; i < 3; ++i) pixels[16 + i * 4 + 1] = pixels[16 + i * 4 + 3] = 255;  // green row
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        for (std::size_t at = 0; at < pixels.size(); at += 5)
            EXPECT_GT(write(fds[1], pixels.data() + at, std::min<std::size_t>(5, pixels.size() - at)), 0);
        close(fds[1]);
    });
    const auto bytes = KWinScreenshotPipe::read(fds[0], KWinScreenshotPipe::expectedSize(results), std::chrono::seconds(10));
    writer.join();
    close(fds[0]);
    ASSERT_EQ(bytes.size(), 32u);
    auto decoded = KWinScreenshotPipe::decode(results, bytes);
    ASSERT_TRUE(std::holds_alternative<platform::Image>(decoded));
    EXPECT_EQ(rgbOf(std::get<platform::Image>(decoded)),
              (std::vector<std::uint8_t>{255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0}));

    // A short pipe, a reply without a stride, another image type and a giant claim are errors.
    EXPECT_TRUE(std::holds_alternative<std::string>(KWinScreenshotPipe::decode(results, {bytes.data(), 20})));
    QVariantMap noStride = results;
    noStride.remove("stride");
    EXPECT_TRUE(std::holds_alternative<std::string>(KWinScreenshotPipe::decode(noStride, bytes)));
    QVariantMap png = results;
    png["type"] = "png";
    EXPECT_TRUE(std::holds_alternative<std::string>(KWinScreenshotPipe::decode(png, bytes)));
    QVariantMap giant = results;
    giant["height"] = 2000000000u;
    EXPECT_EQ(KWinScreenshotPipe::expectedSize(giant), 0u);
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
