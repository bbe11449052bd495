// The Wayland workspace's own decisions (which keys delete, how an application is named, one
// activation per change of application, the keys a field's text changes stand for), and the whole
// of it on a real headless sway.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/linux/atspi/AtspiThread.h"
#include "platform/linux/atspi/TypingFromText.h"
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

// The changes GTK 4 sent for "abcd", BackSpace, Left, Left, Delete, Shift+Home, "z", Ctrl+A,
// BackSpace, "xy", on a virtual clock.
TEST(AtspiWorkspaceTest, TextChangesStandForTheKeysThatMadeThem) {
    using linuxplatform::TypingFromText;
    TypingFromText typing;
    TypingFromText::Time now{};
    std::vector<int> keys;
    auto add = [&](std::vector<int> more) { keys.insert(keys.end(), more.begin(), more.end()); };
    auto after = [&](int ms) { now += std::chrono::milliseconds(ms); };
    for (int i = 0; i < 4; ++i) add(typing.inserted(i, 1, now)), add(typing.caretMoved(i + 1)), after(50);
    add(typing.deleted(3, 1, now));  // BackSpace: the caret stood after the character
    EXPECT_EQ(typing.deadline(), now + TypingFromText::kReplaceWindow);
    add(typing.caretMoved(3));
    EXPECT_FALSE(typing.deadline());
    after(50), add(typing.caretMoved(2)), after(50), add(typing.caretMoved(1)), after(50);
    add(typing.deleted(1, 1, now));  // Delete: the caret stood before it
    after(50), add(typing.caretMoved(0));
    add(typing.deleted(0, 1, now)), after(7), add(typing.inserted(0, 1, now));  // "a" typed over with "z"
    add(typing.caretMoved(1)), after(50), add(typing.caretMoved(0));
    add(typing.deleted(0, 2, now));  // the selection: one BackSpace, told once its window is over
    after(29);
    EXPECT_TRUE(typing.due(now).empty());
    after(1);
    add(typing.due(now));
    after(15), add(typing.inserted(0, 1, now)), add(typing.caretMoved(1)), after(50), add(typing.inserted(1, 1, now));
    EXPECT_EQ(keys, (std::vector<int>{0, 0, 0, 0, 51, 117, 0, 51, 0, 0}));

    // A delete at the same place later than a replacement's is a key of its own, as is one in
    // another field; a field whose caret is not known yet deletes backwards.
    keys.clear();
    add(typing.deleted(1, 1, now)), after(31), add(typing.inserted(1, 1, now));
    add(typing.deleted(2, 1, now)), add(typing.restart());
    add(typing.deleted(5, 1, now)), add(typing.inserted(7, 3, now));
    EXPECT_EQ(keys, (std::vector<int>{51, 0, 117, 51, 0}));
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
// windows of two processes and a GTK 4 one, the focus moved by sway, keys typed with wtype.
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
    auto window = [&](std::vector<const char*> argv) {  // once sway shows it
        const pid_t pid = spawn(std::move(argv));
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
        const std::vector<const char*> gtk3 = {"/usr/bin/python3", "-c",
                                               "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk\n"
                                               "w = Gtk.Window(); w.add(Gtk.Entry()); w.show_all(); Gtk.main()"};
        const pid_t a = window(gtk3), b = window(gtk3);
        // A new window's accessibility bridge comes up a moment after the window.
        EXPECT_TRUE(waitFor([&] { return focus(a) && focus(b) && std::count(activated.begin(), activated.end(), a) > 0; }));
        // b's bridge may come up only after its last focus: then it is focused anew, now and then.
        auto nudged = std::chrono::steady_clock::now();
        EXPECT_TRUE(waitFor([&] {
            const auto front = workspace.frontmostApplication();
            if (front && front->pid == b && !activated.empty() && activated.back() == b) return true;
            if (std::chrono::steady_clock::now() - nudged > 1s) focus(a), focus(b), nudged = std::chrono::steady_clock::now();
            return false;
        }));
        // Keys arrive once our keystroke listener is registered; then the delete keys are told apart.
        EXPECT_TRUE(waitFor([&] { return std::system("wtype x") == 0 && !keys.empty(); }));
        EXPECT_EQ(std::system("wtype -k BackSpace -k Delete -k KP_Delete x"), 0);
        auto backspace = [&] { return std::find(keys.begin(), keys.end(), 51); };
        EXPECT_TRUE(waitFor([&] { return backspace() != keys.end() && keys.end() - backspace() >= 4; }));
        EXPECT_TRUE(std::all_of(keys.begin(), backspace(), [](int code) { return code == 0; }));  // the x keys of the wait
        // Each key once: the entry's text changes stand for no keys of their own.
        EXPECT_EQ(std::vector<int>(backspace(), keys.end()), (std::vector<int>{51, 117, 117, 0}));

        // A key is heard, and so answered, while the AT-SPI thread is held up, as by a read that an
        // application never answers.
        std::promise<void> release;
        linuxplatform::sharedAtspiThread()->post([held = release.get_future().share()] { held.wait(); });
        const auto before = keys.size();
        EXPECT_EQ(std::system("wtype -k BackSpace"), 0);
        EXPECT_TRUE(waitFor([&] { return keys.size() > before; }));
        release.set_value();

        // GTK 4 sends no keys: its focused field's changes tell them.
        const pid_t c = window({"/usr/bin/python3", WS_SOURCE_DIR "/tests/desktop/probe_gtk4.py", "--title", "gtk4"});
        keys.clear();
        EXPECT_TRUE(waitFor([&] { return focus(c) && std::system("wtype x") == 0 && !keys.empty(); }));
        // "ab", BackSpace, Left, Delete, Shift+Home, "zw" over the selection, Ctrl+A, BackSpace, "xy".
        EXPECT_EQ(std::system("wtype -d 100 ab -k BackSpace -k Left -k Delete -M shift -k Home -m shift zw "
                              "-M ctrl a -m ctrl -k BackSpace xy"),
                  0);
        EXPECT_TRUE(waitFor([&] { return backspace() != keys.end() && keys.end() - backspace() >= 7; }));
        EXPECT_TRUE(std::all_of(keys.begin(), backspace(), [](int code) { return code == 0; }));
        EXPECT_EQ(std::vector<int>(backspace(), keys.end()), (std::vector<int>{51, 117, 0, 0, 51, 0, 0}));
    }
    for (pid_t pid : children) ::kill(pid, SIGTERM), ::waitpid(pid, nullptr, 0);
    platform::install({});
}

}  // namespace
