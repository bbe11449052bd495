// The Wayland workspace's own decisions: which keys delete, how an application is named, and one
// activation per change of application whatever the compositor tells.
#include <unistd.h>

#include <deque>
#include <mutex>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/linux/wayland/AtspiWorkspace.h"

namespace {

using linuxplatform::AtspiWorkspace;
using linuxplatform::CompositorWindow;

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

}  // namespace
