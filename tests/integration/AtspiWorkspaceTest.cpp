// The Wayland workspace's own decisions (which keys delete, how an application is named, one
// activation per change of application), and the whole of it on a real headless sway.
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

TEST(AtspiWorkspaceTest, OnlyTheDeleteKeysArriveAsDeleteKeysAndApplicationsAreNamed) {
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0xff08, "BackSpace"), 51);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0xffff, "Delete"), 117);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0xff9f, "KP_Delete"), 117);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0, "BackSpace"), 51);  // a toolkit that sends no keysym
    // The keys whose keysyms are the numbers 51 and 117 ("3" and "u") do not delete.
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke('3', "3"), 0);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke('u', "u"), 0);
    EXPECT_EQ(AtspiWorkspace::keyCodeForStroke(0, nullptr), 0);

    const int self = static_cast<int>(::getpid());
    EXPECT_EQ(AtspiWorkspace::applicationOf(4242, "gedit", self).bundleIdentifier, "gedit");
    // Without a name, the process's command name; the agent itself carries its own identifier.
    const auto agent = AtspiWorkspace::applicationOf(self, "", self);
    EXPECT_EQ(agent.localizedName, std::string("integration_tes"));
    EXPECT_EQ(agent.bundleIdentifier, "com.wellspire.agent");
    EXPECT_FALSE(AtspiWorkspace::applicationOf(-1, "", self).localizedName);
}

class ScriptedFocus final : public linuxplatform::CompositorFocus {
public:
    std::optional<CompositorWindow> focusedWindow() const override { return focused; }
    void followFocus(FocusHandler h) override { handler = std::move(h); }
    void focus(std::uint64_t id, int pid, const std::string& appId) {
        focused = CompositorWindow{id, pid ? std::optional<int>(pid) : std::nullopt, appId, {}, true, true};
        if (handler) handler(focused);
    }
    std::optional<CompositorWindow> focused;
    FocusHandler handler;
};

// Posted tasks wait until the test runs them, as on the main thread.
class QueuedMainLoop final : public platform::MainLoop {
public:
    void post(std::function<void()> task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    std::shared_ptr<platform::Timer> scheduleRepeating(double, std::function<void()>) override { return nullptr; }
    bool isMainThread() const override { return true; }
    void runAll() {
        std::unique_lock lock(mutex_);
        while (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

void installMainLoop(std::shared_ptr<platform::MainLoop> loop) {
    platform::Services services;
    services.mainLoop = std::move(loop);
    platform::install(services);
}

TEST(AtspiWorkspaceTest, TheCompositorsFocusGivesOneActivationPerChangeOfApplication) {
    auto loop = std::make_shared<QueuedMainLoop>();
    installMainLoop(loop);
    auto compositor = std::make_shared<ScriptedFocus>();
    compositor->focus(1, 100, "gedit");
    std::vector<std::string> activated;
    {
        AtspiWorkspace workspace(compositor);
        auto registration = workspace.addActivationObserver([&](const std::optional<platform::RunningApplication>& app) {
            activated.push_back(app ? app->localizedName.value_or("?") : "none");
        });
        EXPECT_EQ(workspace.frontmostApplication()->pid, 100);
        compositor->focus(2, 100, "gedit");  // another window of the application in front
        compositor->focus(3, 200, "firefox");
        compositor->focus(4, 300, "calc");
        compositor->focus(3, 200, "firefox");
        EXPECT_TRUE(activated.empty());  // delivered on the main thread only
        loop->runAll();
        EXPECT_EQ(activated, (std::vector<std::string>{"firefox", "calc", "firefox"}));
        // A removed observer hears nothing more; a window without a pid is known by its class.
        workspace.removeActivationObserver(registration);
        compositor->focus(5, 0, "XTerm");
        EXPECT_EQ(workspace.frontmostApplication()->bundleIdentifier, "XTerm");
        workspace.addActivationObserver([&](const std::optional<platform::RunningApplication>&) { activated.push_back("late"); });
        compositor->focus(6, 600, "late");
    }
    EXPECT_FALSE(compositor->handler);
    loop->runAll();  // what was queued when the workspace went does nothing
    EXPECT_EQ(activated.size(), 3u);
    platform::install({});
}

// On a real headless sway ($SWAYSOCK, $WAYLAND_DISPLAY) with an accessibility bus, AT-SPI alone: GTK 3
// windows of two processes, the focus moved by sway, keys typed with wtype.
TEST(RealSwayTest, AtspiAloneTellsActivationsAndTheDeleteKeys) {
    if (!linuxplatform::SwayIpcWatcher::available() || !std::getenv("WAYLAND_DISPLAY"))
        GTEST_SKIP() << "needs a running sway ($SWAYSOCK, $WAYLAND_DISPLAY)";
    auto loop = std::make_shared<QueuedMainLoop>();
    installMainLoop(loop);
    std::vector<pid_t> children;
    auto spawn = [&](std::vector<const char*> argv) {
        argv.push_back(nullptr);
        if (const pid_t pid = ::fork(); pid != 0) return children.emplace_back(pid);
        ::setenv("GDK_BACKEND", "wayland", 1);
        ::execvp(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    };
    auto waitFor = [&](auto done) {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s; !done(); std::this_thread::sleep_for(20ms)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            loop->runAll();
        }
        return true;
    };
    linuxplatform::SwayIpcWatcher sway;
    auto window = [&] {  // a GTK 3 window with a text entry, once sway shows it
        const pid_t pid = spawn({"/usr/bin/python3", "-c", "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk\n"
                                                           "w = Gtk.Window(); w.add(Gtk.Entry()); w.show_all(); Gtk.main()"});
        EXPECT_TRUE(waitFor([&] {
            const auto all = sway.windows();
            return std::any_of(all.begin(), all.end(), [&](const CompositorWindow& w) { return w.pid == pid && w.visible; });
        }));
        return pid;
    };
    auto focus = [](pid_t pid) { return std::system(("swaymsg -q '[pid=" + std::to_string(pid) + "] focus'").c_str()) == 0; };
    spawn({"wtype", "-s", "600000"});  // without a keyboard no window is ever active
    {
        AtspiWorkspace workspace;
        std::vector<int> activated, keys;
        workspace.addActivationObserver([&](const std::optional<platform::RunningApplication>& app) { activated.push_back(app->pid); });
        const auto keyMonitor = workspace.addGlobalKeyDownMonitor([&](int code) { keys.push_back(code); });
        const pid_t a = window(), b = window();
        // A new window's accessibility bridge comes up a moment after the window.
        EXPECT_TRUE(waitFor([&] { return focus(a) && focus(b) && std::count(activated.begin(), activated.end(), a) > 0; }));
        EXPECT_TRUE(waitFor([&] {
            const auto front = workspace.frontmostApplication();
            return front && front->pid == b && !activated.empty() && activated.back() == b;
        }));
        // Keys arrive once our keystroke listener is registered; then the delete keys are told apart.
        EXPECT_TRUE(waitFor([&] { return std::system("wtype x") == 0 && !keys.empty(); }));
        EXPECT_EQ(std::system("wtype -k BackSpace -k Delete -k KP_Delete x"), 0);
        auto backspace = [&] { return std::find(keys.begin(), keys.end(), 51); };
        EXPECT_TRUE(waitFor([&] { return backspace() != keys.end() && keys.end() - backspace() >= 4; }));
        EXPECT_TRUE(std::all_of(keys.begin(), backspace(), [](int code) { return code == 0; }));  // the x keys of the wait
        EXPECT_EQ(std::vector<int>(backspace(), keys.end()), (std::vector<int>{51, 117, 117, 0}));
    }
    for (pid_t pid : children) ::kill(pid, SIGTERM), ::waitpid(pid, nullptr, 0);
    platform::install({});
}

}  // namespace
