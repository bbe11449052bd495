// KWin's screenshot interface against a real KWin: a virtual kwin_wayland of the test's own, on a
// D-Bus session of its own, whose desktop entries authorize (or no longer authorize) this binary.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "CompositorCaptureSupport.h"
#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/wayland/CompositorCapture.h"
#include "platform/linux/common/UnavailableScreenCapture.h"
#include "platform/linux/wayland/FallbackScreenCapture.h"
#include "platform/linux/wayland/KWinScreenCapture.h"
#include "platform/linux/wayland/WlrScreenCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace capturetest;
using linuxplatform::DesktopRect;
using linuxplatform::KWinScreenCapture;
using linuxplatform::OwnWindows;

bool green(const std::uint8_t* p) { return p[0] == 0 && p[1] == 0xc0 && p[2] == 0; }

class KWinScreenCaptureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!fs::exists("/usr/bin/kwin_wayland") || !fs::exists("/usr/bin/dbus-daemon")) return;
        dir_ = fs::temp_directory_path() / ("kwin-capture-" + std::to_string(getpid()));
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
        fs::create_directories(dir_ / "home/.local/share/applications");
        // This binary, by its exact path, as KWin wants it.
        std::ofstream(entry()) << "[Desktop Entry]\nType=Application\nName=capture test\nNoDisplay=true\nExec="
                               << fs::canonical("/proc/self/exe").string()
                               << "\nX-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n";
        // A copy without the file capabilities that a container may refuse to execute.
        fs::copy_file("/usr/bin/kwin_wayland", dir_ / "kwin_wayland");
        // A bus of its own whose daemon's pid is kept, then KWin in place of the shell (same pid).
        const std::string d = dir_.string();
        std::ofstream(dir_ / "start.sh") << "#!/bin/sh\ndbus-daemon --session --fork --print-address=3 --print-pid=4 3>"
                                         << d << "/bus.tmp 4>" << d << "/daemon.pid\nexport DBUS_SESSION_BUS_ADDRESS=$(cat "
                                         << d << "/bus.tmp)\nmv " << d << "/bus.tmp " << d << "/bus\nexec "
                                         << (dir_ / "kwin_wayland").string()
                                         << " --virtual --socket wayland-capture --width 1024 --height 768"
                                            " --no-lockscreen --no-global-shortcuts --no-kactivities\n";
        fs::permissions(dir_ / "start.sh", fs::perms::owner_all, fs::perm_options::replace);
        // KWin looks for the entry where this suite's HOME keeps it, whatever session runs the tests.
        const std::vector<std::string> env{"HOME=" + (dir_ / "home").string(), "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
                                           "XDG_DATA_HOME=" + (dir_ / "home/.local/share").string()};
        kwin_ = spawn({(dir_ / "start.sh").string()}, env);
        if (kwin_ < 0 || !waitFor([] { return fs::exists(dir_ / "run/wayland-capture") && fs::exists(dir_ / "bus"); }, 30s))
            return;
        std::string bus;
        std::getline(std::ifstream(dir_ / "bus"), bus);
        // This process speaks to that KWin, and reads the same desktop entries, until the suite ends.
        for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "HOME", "XDG_DATA_HOME"})
            if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
            else saved_.emplace_back(name, std::nullopt);
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
        setenv("WAYLAND_DISPLAY", (dir_ / "run/wayland-capture").c_str(), 1);
        setenv("HOME", (dir_ / "home").c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        if (!waitFor([] { return KWinScreenCapture::available(); }, 30s)) return;
        probe_ = spawn({"/usr/bin/python3", WS_SOURCE_DIR "/tests/desktop/probe_window.py", "--title", "KWin capture probe",
                        "--color", "#00c000", "--label", "Capture seventeen", "--size", "600x400"},
                       {"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1", "WAYLAND_DISPLAY=wayland-capture",
                        "XDG_RUNTIME_DIR=" + (dir_ / "run").string()});
        started_ = true;
    }
    static void TearDownTestSuite() {
        for (pid_t pid : {probe_, kwin_})
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        int daemon = 0;
        if (!dir_.empty() && (std::ifstream(dir_ / "daemon.pid") >> daemon) && daemon > 0) kill(daemon, SIGTERM);
        if (!dir_.empty()) fs::remove_all(dir_);
        for (const auto& [name, value] : saved_)
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
    }
    void SetUp() override {
        if (!fs::exists("/usr/bin/kwin_wayland")) GTEST_SKIP() << "needs kwin_wayland";
        ASSERT_TRUE(started_) << "the virtual KWin did not start";
    }
    static fs::path entry() { return dir_ / "home/.local/share/applications/wellspire-capture-test.desktop"; }

    static inline fs::path dir_;
    static inline std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    static inline pid_t kwin_ = -1, probe_ = -1;
    static inline bool started_ = false;
};

TEST_F(KWinScreenCaptureTest, AnAuthorizedAgentCapturesADisplayWithItsPanelBlackAndARefusalTurnsPreflightOff) {
    auto windows = std::make_shared<FixedWindows>();
    KWinScreenCapture capture(windows);
    auto content = contentOf(capture);
    ASSERT_TRUE(std::holds_alternative<platform::ShareableContent>(content));
    const auto display = std::get<platform::ShareableContent>(content).displays.at(0);
    EXPECT_EQ(display.width, 1024);
    EXPECT_EQ(display.height, 768);
    EXPECT_TRUE(capture.preflight());  // the entry above, read before any capture
    EXPECT_EQ(linuxplatform::compositorCapture("KDE", nullptr).value_or(linuxplatform::CompositorCapture{}).name,
              "kwin-screenshot");

    // The probe window appears somewhere: find its green.
    const auto shoot = [&](const std::vector<platform::ShareableWindow>& excluding) {
        return displayOf(capture, display, excluding, display.width, display.height);
    };
    DesktopRect box;
    std::shared_ptr<const platform::Image> before;
    ASSERT_TRUE(waitFor([&] {
        auto shot = shoot({});
        if (!std::holds_alternative<std::shared_ptr<const platform::Image>>(shot)) return false;
        before = std::get<std::shared_ptr<const platform::Image>>(shot);
        int x0 = before->width, y0 = before->height, x1 = -1, y1 = -1;
        for (int y = 0; y < before->height; ++y)
            for (int x = 0; x < before->width; ++x)
                if (green(pixel(*before, x, y))) x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
        box = {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
        return box.width > 300 && box.height > 200;
    }, 30s)) << "no probe window on the KWin screen";
    ASSERT_EQ(before->width, 1024);

    // The agent's panel, over the window, is painted black; the rest of the screen is unchanged.
    const DesktopRect panel{box.x + 20, box.y + 20, 120, 60};
    OwnWindows::shared().shown(2, panel);
    auto listed = std::get<platform::ShareableContent>(contentOf(capture));
    ASSERT_EQ(listed.windows.size(), 1u);
    auto shot = shoot(listed.windows);
    OwnWindows::shared().hidden(2);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const platform::Image>>(shot));
    const auto& after = *std::get<std::shared_ptr<const platform::Image>>(shot);
    int blanked = 0, changed = 0;
    for (int y = 0; y < after.height; ++y)
        for (int x = 0; x < after.width; ++x) {
            const bool inPanel = x >= panel.x && x < panel.x + panel.width && y >= panel.y && y < panel.y + panel.height;
            const std::uint8_t *p = pixel(after, x, y), *q = pixel(*before, x, y);
            if (inPanel) blanked += p[0] == 0 && p[1] == 0 && p[2] == 0;
            else changed += p[0] != q[0] || p[1] != q[1] || p[2] != q[2];
        }
    EXPECT_EQ(blanked, panel.width * panel.height);
    EXPECT_EQ(changed, 0);

    // Without the entry KWin refuses (once it has read its entries again): the capture fails, and
    // preflight stays off from then on.
    fs::remove(entry());
    EXPECT_TRUE(waitFor([&] { return std::holds_alternative<platform::CaptureError>(shoot({})); }, 20s));
    EXPECT_FALSE(capture.preflight());
    EXPECT_FALSE(linuxplatform::compositorCapture("KDE", nullptr));  // the portal's turn
    EXPECT_EQ(capture.refusedForGood().value_or(""), "KWin does not allow the agent to take screenshots");

    // At run time the agent's order takes over from KWin's refusal with the next backend (the
    // portal, in the agent), made only then.
    int made = 0;
    linuxplatform::FallbackScreenCapture fallback(
        {{"kwin-screenshot", [&] { return std::make_shared<KWinScreenCapture>(windows); }},
         {"next", [&] {
              ++made;
              return std::make_shared<linuxplatform::UnavailableScreenCapture>("the next one serves");
          }}});
    EXPECT_EQ(errorOf(displayOf(fallback, display, {}, 100, 100)), "KWin does not allow the agent to take screenshots");
    EXPECT_EQ(made, 0);
    EXPECT_EQ(errorOf(displayOf(fallback, display, {}, 100, 100)), "the next one serves");
    EXPECT_EQ(made, 1);
    EXPECT_EQ(fallback.serving(), "next");

    // wlr-screencopy on this KWin, which has none: a refusal for good, unlike a compositor not reached.
    linuxplatform::WlrScreenCapture wlr(nullptr);
    EXPECT_TRUE(std::holds_alternative<platform::ShareableContent>(contentOf(wlr)));
    EXPECT_EQ(wlr.refusedForGood().value_or(""), "the compositor offers no wlr-screencopy");
    linuxplatform::WlrScreenCapture unreachable(nullptr, "/nonexistent/wayland-socket");
    EXPECT_TRUE(std::holds_alternative<platform::CaptureError>(contentOf(unreachable)));
    EXPECT_FALSE(unreachable.refusedForGood());
}

}  // namespace
