// wlr-screencopy capture against the compositor at $WAYLAND_DISPLAY (a headless sway in the tests'
// Wayland session), compared pixel for pixel with grim, an independent client of the same protocol.
// Without a wlroots compositor only the completion tests run.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/wayland/CompositorContent.h"
#include "platform/linux/wayland/CompositorWindows.h"
#include "platform/linux/wayland/WlrScreenCapture.h"

extern char** environ;

namespace {

using linuxplatform::CompositorWindow;
using linuxplatform::DesktopRect;
using linuxplatform::OwnWindows;
using linuxplatform::WlrScreenCapture;
using namespace std::chrono_literals;

class FixedWindows final : public linuxplatform::CompositorWindows {
public:
    std::vector<CompositorWindow> list;
    std::vector<CompositorWindow> windows() const override { return list; }
};

template <typename Result>
struct Awaited {
    std::promise<Result> promise;
    std::atomic<int> calls{0};
    std::function<void(Result)> completion() {
        return [this](Result r) {
            if (calls.fetch_add(1) == 0) promise.set_value(std::move(r));
        };
    }
    Result get() {
        auto future = promise.get_future();
        if (future.wait_for(20s) != std::future_status::ready) throw std::runtime_error("no completion");
        return future.get();
    }
};

platform::ContentResult contentOf(WlrScreenCapture& capture) {
    Awaited<platform::ContentResult> awaited;
    capture.shareableContent(awaited.completion());
    return awaited.get();
}

platform::CaptureResult displayOf(WlrScreenCapture& capture, const platform::ShareableDisplay& display,
                                  const std::vector<platform::ShareableWindow>& excluding, int w, int h) {
    Awaited<platform::CaptureResult> awaited;
    capture.captureDisplay(display, excluding, w, h, awaited.completion());
    return awaited.get();
}

platform::CaptureResult windowOf(WlrScreenCapture& capture, const platform::ShareableWindow& window, int w, int h) {
    Awaited<platform::CaptureResult> awaited;
    capture.captureWindow(window, w, h, awaited.completion());
    return awaited.get();
}

std::string errorOf(const platform::CaptureResult& r) {
    auto* e = std::get_if<platform::CaptureError>(&r);
    return e ? e->description : std::string();
}

pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& extraEnv) {
    // The given variables replace the inherited ones of the same name.
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const auto name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) { return x.rfind(name, 0) == 0; }))
            env.push_back(entry);
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    return pid;
}

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
    const std::uint8_t* p = image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
    const std::uint8_t* q = reference.constScanLine(ry) + rx * 4;
    return p[0] == q[0] && p[1] == q[1] && p[2] == q[2];
}

bool black(const platform::Image& image, int x, int y) {
    const std::uint8_t* p = image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
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
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto frame = grim(); frame && frame->width() > 16 && frame->height() > 16) {
                const QRgb p = frame->pixel(8, frame->height() / 4);
                if (qRed(p) == 0 && qGreen(p) == 0xc0 && qBlue(p) == 0) {
                    ready_ = true;
                    return;
                }
            }
            std::this_thread::sleep_for(200ms);  // polling for the window to be drawn, bounded above
        }
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

    // At the reader's size: scaled, the panel still dark.
    auto scaled = displayOf(capture, display, {listed.windows[1]}, display.width / 2, display.height / 2);
    ASSERT_EQ(errorOf(scaled), "");
    const auto& small = *std::get<std::shared_ptr<const platform::Image>>(scaled);
    EXPECT_EQ(small.width, display.width / 2);
    EXPECT_EQ(small.height, display.height / 2);
    EXPECT_TRUE(black(small, (panel.x + panel.width / 2) / 2, (panel.y + panel.height / 2) / 2));
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

    auto larger = windowOf(capture, window, frame.width * 3, frame.height * 3);
    ASSERT_EQ(errorOf(larger), "");
    EXPECT_EQ(std::get<std::shared_ptr<const platform::Image>>(larger)->width, frame.width * 3);

    // A window the compositor no longer lists, and the agent's own panel, are errors.
    EXPECT_NE(errorOf(windowOf(capture, {10, 4242, true, {}}, 100, 100)), "");
    EXPECT_NE(errorOf(windowOf(capture, {linuxplatform::CompositorContent::kOwnWindowBase, getpid(), true, {}}, 100, 100)), "");
    EXPECT_NE(errorOf(displayOf(capture, {123456, 100, 100}, {}, 100, 100)), "");
}

// Any compositor or none: every call completes once, also those still queued when the backend goes.
TEST(WlrScreenCaptureCompletion, EveryCallCompletesOnceEvenWithoutACompositorOrWhenDestroyed) {
    std::atomic<int> errors{0}, calls{0};
    {
        WlrScreenCapture capture(nullptr, "/nonexistent/wayland-socket");
        for (int i = 0; i < 5; ++i) {
            capture.captureDisplay({1, 100, 100}, {}, 50, 50, [&](platform::CaptureResult r) {
                ++calls;
                errors += std::holds_alternative<platform::CaptureError>(r);
            });
            capture.captureWindow({1, 1, true, {0, 0, 300, 300}}, 0, 10, [&](platform::CaptureResult r) {
                ++calls;
                errors += std::holds_alternative<platform::CaptureError>(r);
            });
            capture.shareableContent([&](platform::ContentResult r) {
                ++calls;
                errors += std::holds_alternative<platform::CaptureError>(r);
            });
        }
    }
    EXPECT_EQ(calls.load(), 15);
    EXPECT_EQ(errors.load(), 15);

    // Nothing to capture with: preflight says so once the backend has tried.
    WlrScreenCapture capture(nullptr, "/nonexistent/wayland-socket");
    EXPECT_TRUE(std::holds_alternative<platform::CaptureError>(contentOf(capture)));
    EXPECT_FALSE(capture.preflight());
}

}  // namespace
