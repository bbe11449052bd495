// wlr-screencopy capture against the compositor at $WAYLAND_DISPLAY (a headless sway in the tests'
// Wayland session), compared pixel for pixel with grim, an independent client of the same protocol.
// Without a wlroots compositor only the completion tests run.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "CompositorCaptureSupport.h"
#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/wayland/CompositorCapture.h"
#include "platform/linux/wayland/CompositorContent.h"
#include "platform/linux/wayland/WlrScreenCapture.h"

namespace {

using namespace capturetest;
using linuxplatform::DesktopRect;
using linuxplatform::OwnWindows;
using linuxplatform::WlrScreenCapture;

// The output as grim copies it, RGBA.
std::optional<QImage> grim() {
    const auto path = std::filesystem::temp_directory_path() / ("wlr-capture-" + std::to_string(getpid()) + ".png");
    const pid_t pid = spawn({"/usr/bin/grim", path.string()}, {});
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    QImage image(QString::fromStdString(path.string()));
    std::filesystem::remove(path);
    if (image.isNull()) return std::nullopt;
    return image.convertToFormat(QImage::Format_RGBX8888);
}

bool samePixel(const platform::Image& image, int x, int y, const QImage& reference, int rx, int ry) {
    const std::uint8_t *p = pixel(image, x, y), *q = reference.constScanLine(ry) + rx * 4;
    return p[0] == q[0] && p[1] == q[1] && p[2] == q[2];
}

bool black(const platform::Image& image, int x, int y) {
    const std::uint8_t* p = pixel(image, x, y);
    return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 255;
}

bool inside(const DesktopRect& r, int x, int y) { return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height; }

class WlrScreenCaptureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!std::getenv("WAYLAND_DISPLAY") || !WlrScreenCapture::available() || !std::filesystem::exists("/usr/bin/grim"))
            return;
        compositor_ = true;
        // GTK 3 takes a socket name only, in $XDG_RUNTIME_DIR.
        const std::filesystem::path socket = std::getenv("WAYLAND_DISPLAY");
        std::vector<std::string> env{"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1"};
        if (socket.is_absolute())
            env.insert(env.end(), {"WAYLAND_DISPLAY=" + socket.filename().string(),
                                   "XDG_RUNTIME_DIR=" + socket.parent_path().string()});
        // A green window with a line of black text: a frame whose rows and channels can be told apart.
        probe_ = spawn({"/usr/bin/python3", WS_SOURCE_DIR "/tests/desktop/probe_window.py", "--title", "Wlr capture probe",
                        "--color", "#00c000", "--label", "Capture seventeen", "--size", "1200x700"},
                       env);
        ready_ = waitFor([] {
            auto frame = grim();
            const QRgb p = frame && frame->width() > 16 && frame->height() > 16 ? frame->pixel(8, frame->height() / 4) : 0;
            return qRed(p) == 0 && qGreen(p) == 0xc0 && qBlue(p) == 0;
        }, 15s);
    }
    static void TearDownTestSuite() {
        if (probe_ > 0) {
            kill(probe_, SIGTERM);
            waitpid(probe_, nullptr, 0);
        }
    }
    void SetUp() override {
        if (!compositor_) GTEST_SKIP() << "needs a wlroots compositor at $WAYLAND_DISPLAY and grim";
        ASSERT_TRUE(ready_) << "the probe window did not appear on the compositor";
    }

    static inline pid_t probe_ = -1;
    static inline bool compositor_ = false, ready_ = false;
};

TEST_F(WlrScreenCaptureTest, ADisplayIsTheOutputAsGrimSeesItWithOwnPanelsAndExcludedWindowsBlack) {
    const auto reference = grim();
    ASSERT_TRUE(reference);
    auto windows = std::make_shared<FixedWindows>();
    const DesktopRect other{20, 20, 150, 100}, panel{200, 150, 150, 60};
    windows->list.push_back({7, 4242, "other", other, false, true});
    OwnWindows::shared().shown(1, panel);
    WlrScreenCapture capture(windows);
    auto content = contentOf(capture);
    ASSERT_TRUE(std::holds_alternative<platform::ShareableContent>(content));
    const auto& listed = std::get<platform::ShareableContent>(content);
    ASSERT_FALSE(listed.displays.empty());
    const auto display = listed.displays.front();
    // grim copies at the output's integer scale; the display is listed in points.
    const int scale = reference->width() / display.width;
    ASSERT_GE(scale, 1);
    EXPECT_EQ(display.width * scale, reference->width());
    EXPECT_EQ(display.height * scale, reference->height());
    ASSERT_EQ(listed.windows.size(), 2u);
    EXPECT_EQ(listed.windows[0].id, 7u);
    EXPECT_EQ(listed.windows[0].ownerPid, 4242);
    EXPECT_EQ(listed.windows[0].frame, (platform::Rect{20, display.height - 120.0, 150, 100}));
    EXPECT_EQ(listed.windows[1].ownerPid, static_cast<int>(getpid()));
    EXPECT_EQ(listed.windows[1].frame, (platform::Rect{200, display.height - 210.0, 150, 60}));
    EXPECT_TRUE(capture.preflight());
    EXPECT_FALSE(capture.refusedForGood());  // no hand-over from a compositor that copies
    EXPECT_EQ(linuxplatform::compositorCapture("SWAY", nullptr).value_or(linuxplatform::CompositorCapture{}).name,
              "wlr-screencopy");

    // The reader leaves out its own windows; here also the other one, to see any excluded rect go.
    const int width = display.width * scale, height = display.height * scale;
    auto captured = displayOf(capture, display, listed.windows, width, height);
    ASSERT_EQ(errorOf(captured), "");
    const auto& image = *std::get<std::shared_ptr<const platform::Image>>(captured);
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    int wrong = 0, blanked = 0, hidden = 0, differentBeforeBlanking = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            if (inside(panel, x / scale, y / scale) || inside(other, x / scale, y / scale)) {
                ++hidden;
                blanked += black(image, x, y);
                differentBeforeBlanking += qGray(reference->pixel(x, y)) != 0;
            } else {
                wrong += !samePixel(image, x, y, *reference, x, y);
            }
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(hidden, (panel.width * panel.height + other.width * other.height) * scale * scale);
    EXPECT_EQ(blanked, hidden);
    EXPECT_GT(differentBeforeBlanking, 0);

    OwnWindows::shared().hidden(1);
}

TEST_F(WlrScreenCaptureTest, AWindowIsItsRegionOfTheOutput) {
    const auto reference = grim();
    ASSERT_TRUE(reference);
    auto windows = std::make_shared<FixedWindows>();
    WlrScreenCapture capture(windows);
    auto content = contentOf(capture);
    ASSERT_TRUE(std::holds_alternative<platform::ShareableContent>(content));
    const auto display = std::get<platform::ShareableContent>(content).displays.at(0);
    const int scale = reference->width() / display.width;
    // Across the line of text, so that a flipped or shifted copy cannot match.
    const DesktopRect frame{display.width / 2 - 150, display.height / 2 - 50, 300, 100};
    windows->list.push_back({9, 4242, "probe", frame, true, true});

    const platform::ShareableWindow window{9, 4242, true, {}};
    auto captured = windowOf(capture, window, frame.width * scale, frame.height * scale);
    ASSERT_EQ(errorOf(captured), "");
    const auto& image = *std::get<std::shared_ptr<const platform::Image>>(captured);
    ASSERT_EQ(image.width, frame.width * scale);
    ASSERT_EQ(image.height, frame.height * scale);
    int wrong = 0, dark = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            wrong += !samePixel(image, x, y, *reference, frame.x * scale + x, frame.y * scale + y);
            dark += qGray(reference->pixel(frame.x * scale + x, frame.y * scale + y)) < 64;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(dark, 100);  // the text is in the region

    // A window the compositor no longer lists, and the agent's own panel, are errors.
    EXPECT_NE(errorOf(windowOf(capture, {10, 4242, true, {}}, 100, 100)), "");
    EXPECT_NE(errorOf(windowOf(capture, {linuxplatform::CompositorContent::kOwnWindowBase, getpid(), true, {}}, 100, 100)), "");
    EXPECT_NE(errorOf(displayOf(capture, {123456, 100, 100}, {}, 100, 100)), "");
}

// Any compositor or none: every call completes once, also those still queued when the backend goes.
TEST(WlrScreenCaptureCompletion, EveryCallCompletesOnceEvenWithoutACompositorOrWhenDestroyed) {
    std::atomic<int> errors{0};
    const auto count = [&errors](auto result) { errors += std::holds_alternative<platform::CaptureError>(result); };
    {
        WlrScreenCapture capture(nullptr, "/nonexistent/wayland-socket");
        for (int i = 0; i < 5; ++i) {
            capture.captureDisplay({1, 100, 100}, {}, 50, 50, count);
            capture.captureWindow({1, 1, true, {0, 0, 300, 300}}, 0, 10, count);
            capture.shareableContent(count);
        }
    }
    EXPECT_EQ(errors.load(), 15);

    // Nothing to capture with: preflight says so once the backend has tried.
    WlrScreenCapture capture(nullptr, "/nonexistent/wayland-socket");
    EXPECT_TRUE(std::holds_alternative<platform::CaptureError>(contentOf(capture)));
    EXPECT_FALSE(capture.preflight());
}

}  // namespace
