// The Wayland workspace's own decisions: which keys delete, how an application is named, and one
// activation per change of application whatever the compositor tells.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/linux/wayland/AtspiWorkspace.h"
#include "platform/linux/wayland/SwayIpcWatcher.h"

namespace {

using linuxplatform::AtspiWorkspace;
using linuxplatform::CompositorWindow;
using namespace std::chrono_literals;

TEST(AtspiWorkspaceTest, OnlyTheDeleteKeysArriveAsDeleteKeys) {
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0xff08, "BackSpace"), 51);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0xffff, "Delete"), 117);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0xff9f, "KP_Delete"), 117);
    // A toolkit that sends no keysym is read by the key's name.
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0, "BackSpace"), 51);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0, "KP_Delete"), 117);
    // Keys whose keysyms are the numbers 51 and 117 ("3" and "u") are not delete keys.
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke('3', "3"), 0);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke('u', "u"), 0);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0xff0d, "Return"), 0);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0, nullptr), 0);
}

TEST(AtspiWorkspaceTest, AnApplicationIsNamedByItsWindowOrItsProcess) {
    const int self = static_cast<int>(::getpid());
    const auto other = AtspiWorkspace::applicationOf(4242, "gedit", self);
    EXPECT_EQ(other.pid, 4242);
    EXPECT_EQ(other.localizedName, "gedit");
    EXPECT_EQ(other.bundleIdentifier, "gedit");
    // Without a name, the process's command name; the agent itself carries its own identifier.
    const auto agent = AtspiWorkspace::applicationOf(self, "", self);
    EXPECT_EQ(agent.localizedName, std::string("integration_tes"));  // comm keeps 15 characters
    EXPECT_EQ(agent.bundleIdentifier, "com.wellspire.agent");
    const auto unknown = AtspiWorkspace::applicationOf(-1, "", self);
    EXPECT_EQ(unknown.pid, 0);
    EXPECT_FALSE(unknown.localizedName);
}

class ScriptedFocus final : public linuxplatform::CompositorFocus {
public:
    std::optional<CompositorWindow> focusedWindow() const override {
        std::lock_guard lock(mutex);
        return focused;
    }
    void followFocus(FocusHandler h) override {
        std::lock_guard lock(mutex);
        handler = std::move(h);
    }
    void focus(std::optional<CompositorWindow> window) {
        FocusHandler h;
        {
            std::lock_guard lock(mutex);
            focused = window;
            h = handler;
        }
        if (h) h(window);
    }
    mutable std::mutex mutex;
    std::optional<CompositorWindow> focused;
    FocusHandler handler;
};

// Posted tasks wait until the test runs them, as the main thread would.
class QueuedMainLoop final : public platform::MainLoop {
public:
    void post(std::function<void()> task) override {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
    }
    std::shared_ptr<platform::Timer> scheduleRepeating(double, std::function<void()>) override { return nullptr; }
    bool isMainThread() const override { return true; }
    void runAll() {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex);
                if (tasks.empty()) return;
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
};

CompositorWindow window(std::uint64_t id, int pid, const std::string& appId) {
    CompositorWindow w;
    w.id = id;
    w.pid = pid;
    w.appId = appId;
    w.focused = true;
    return w;
}

TEST(AtspiWorkspaceTest, TheCompositorsFocusGivesOneActivationPerChangeOfApplication) {
    auto loop = std::make_shared<QueuedMainLoop>();
    platform::Services services;
    services.mainLoop = loop;
    platform::install(services);
    auto compositor = std::make_shared<ScriptedFocus>();
    compositor->focused = window(1, 100, "gedit");
    std::vector<std::optional<std::string>> activated;
    {
        AtspiWorkspace workspace(compositor);
        auto registration = workspace.addActivationObserver([&](const std::optional<platform::RunningApplication>& app) {
            activated.push_back(app ? app->localizedName : std::nullopt);
        });
        ASSERT_TRUE(workspace.frontmostApplication());
        EXPECT_EQ(workspace.frontmostApplication()->pid, 100);

        compositor->focus(window(2, 100, "gedit"));      // another window of the application in front
        compositor->focus(std::nullopt);                 // nothing focused for a moment
        compositor->focus(window(3, 200, "firefox"));
        compositor->focus(window(4, 300, "org.gnome.Calculator"));
        compositor->focus(window(3, 200, "firefox"));
        EXPECT_TRUE(activated.empty());  // delivered on the main thread only
        loop->runAll();
        EXPECT_EQ(activated, (std::vector<std::optional<std::string>>{"firefox", "org.gnome.Calculator", "firefox"}));
        EXPECT_EQ(workspace.frontmostApplication()->localizedName, "firefox");

        // A removed observer hears nothing more, and a window with no pid is told apart by its class.
        workspace.removeActivationObserver(registration);
        compositor->focus(window(5, 0, "XTerm"));
        loop->runAll();
        EXPECT_EQ(activated.size(), 3u);
        EXPECT_EQ(workspace.frontmostApplication()->bundleIdentifier, "XTerm");

        // Deliveries still queued when the workspace goes do nothing.
        workspace.addActivationObserver([&](const std::optional<platform::RunningApplication>&) { activated.push_back("late"); });
        compositor->focus(window(6, 600, "late"));
    }
    EXPECT_FALSE(compositor->handler);
    loop->runAll();
    EXPECT_EQ(activated.size(), 3u);
    platform::install({});
}

// On a real headless sway (SWAYSOCK, WAYLAND_DISPLAY and XDG_RUNTIME_DIR of its session) with an
// accessibility bus: GTK 3 windows of two processes, focus moved by sway, keys typed with wtype.
class RealSwayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!linuxplatform::SwayIpcWatcher::available() || !std::getenv("WAYLAND_DISPLAY"))
            GTEST_SKIP() << "needs a running sway ($SWAYSOCK, $WAYLAND_DISPLAY)";
        platform::Services services;
        services.mainLoop = loop;
        platform::install(services);
        // A headless sway has no keyboard, and without one no window is ever active: a virtual one
        // stays for the test.
        const pid_t keyboard = ::fork();
        if (keyboard == 0) {
            ::execlp("wtype", "wtype", "-s", "600000", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        children.push_back(keyboard);
    }
    void TearDown() override {
        for (pid_t pid : children) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        platform::install({});
    }
    // A GTK 3 window with a focused entry, in a process of its own.
    pid_t window(const std::string& title) {
        static const char* program = R"PY(
import sys, gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk
GLib.set_prgname("wsprobe")
w = Gtk.Window(title=sys.argv[1])
w.add(Gtk.Entry())
w.connect("destroy", Gtk.main_quit)
w.show_all()
Gtk.main()
)PY";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("GDK_BACKEND", "wayland", 1);
            ::execl("/usr/bin/python3", "python3", "-c", program, title.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        children.push_back(pid);
        return pid;
    }
    static bool sway(const std::string& command) { return std::system(("swaymsg -q '" + command + "'").c_str()) == 0; }
    // Both processes' windows are on screen.
    bool shown(pid_t a, pid_t b) {
        linuxplatform::SwayIpcWatcher watcher;
        auto shows = [&](pid_t pid) {
            const auto all = watcher.windows();
            return std::any_of(all.begin(), all.end(), [&](const CompositorWindow& w) { return w.pid == pid && w.visible; });
        };
        return waitFor([&] { return shows(a) && shows(b); });
    }
    template <typename Predicate>
    bool waitFor(Predicate done, std::chrono::seconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            loop->runAll();
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    std::shared_ptr<QueuedMainLoop> loop = std::make_shared<QueuedMainLoop>();
    std::vector<pid_t> children;
};

TEST_F(RealSwayTest, SwayTellsTheWindowsAndEachActivationWithTheRightProcess) {
    auto watcher = std::make_shared<linuxplatform::SwayIpcWatcher>();
    AtspiWorkspace workspace(watcher);
    std::vector<int> activated;
    workspace.addActivationObserver([&](const std::optional<platform::RunningApplication>& app) {
        activated.push_back(app ? app->pid : -1);
    });
    const pid_t a = window("Alpha");
    ASSERT_TRUE(shown(a, a));
    const pid_t b = window("Beta");
    ASSERT_TRUE(shown(a, b));
    ASSERT_TRUE(waitFor([&] { return !activated.empty() && activated.back() == b; }));  // the new window has the focus
    activated.clear();
    ASSERT_TRUE(sway("[pid=" + std::to_string(a) + "] focus"));
    ASSERT_TRUE(waitFor([&] { return !activated.empty() && activated.back() == a; }));
    ASSERT_TRUE(sway("[pid=" + std::to_string(b) + "] focus"));
    ASSERT_TRUE(sway("[pid=" + std::to_string(b) + "] focus"));
    ASSERT_TRUE(waitFor([&] { return activated.back() == b; }));
    EXPECT_EQ(workspace.frontmostApplication()->pid, b);
    EXPECT_EQ(workspace.frontmostApplication()->localizedName, "wsprobe");
    const auto frame = watcher->focusedWindowQuery()();
    ASSERT_TRUE(frame);
    EXPECT_GT(frame->width, 100);
    // Focusing the focused window again is no activation.
    EXPECT_EQ(activated, (std::vector<int>{a, b}));
}

TEST_F(RealSwayTest, AtspiAloneTellsActivationsAndTheDeleteKeys) {
    AtspiWorkspace workspace;
    std::vector<int> activated, keys;
    workspace.addActivationObserver([&](const std::optional<platform::RunningApplication>& app) {
        activated.push_back(app ? app->pid : -1);
    });
    workspace.addGlobalKeyDownMonitor([&](int code) { keys.push_back(code); });
    const pid_t a = window("Alpha"), b = window("Beta");
    ASSERT_TRUE(shown(a, b));
    auto focus = [&](pid_t pid) { return sway("[pid=" + std::to_string(pid) + "] focus"); };
    // The accessibility bridge of a new window comes up a moment after the window itself.
    ASSERT_TRUE(waitFor([&] {
        focus(a);
        focus(b);
        return std::find(activated.begin(), activated.end(), a) != activated.end() && activated.back() == b;
    }));
    // The last focus was Beta's, whatever was still on its way.
    EXPECT_TRUE(waitFor([&] { return workspace.frontmostApplication()->pid == b && activated.back() == b; }));
    // Keys reach us once our keystroke listener is registered; then the delete keys are told apart.
    ASSERT_TRUE(waitFor([&] {
        [[maybe_unused]] int typed = std::system("wtype x");
        return !keys.empty();
    }));
    ASSERT_EQ(std::system("wtype -k BackSpace -k Delete -k KP_Delete x"), 0);
    auto backspace = [&] { return std::find(keys.begin(), keys.end(), 51); };
    ASSERT_TRUE(waitFor([&] { return backspace() != keys.end() && keys.end() - backspace() >= 4; }));
    // Before it only the x keys of the wait, late or not.
    EXPECT_TRUE(std::all_of(keys.begin(), backspace(), [](int code) { return code == 0; }));
    EXPECT_EQ(std::vector<int>(backspace(), keys.end()), (std::vector<int>{51, 117, 117, 0}));
}

}  // namespace
