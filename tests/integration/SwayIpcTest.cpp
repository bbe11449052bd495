// Sway's IPC as the agent reads it: framing across reads, the tree into windows, and the watcher
// against a stand-in sway that answers on a private socket.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/wayland/SwayIpcProtocol.h"
#include "platform/linux/wayland/SwayIpcWatcher.h"

namespace {

using namespace std::chrono_literals;
using linuxplatform::CompositorWindow;
namespace swayipc = linuxplatform::swayipc;

nlohmann::json view(int id, int pid, const std::string& appId, int x, bool focused, bool xwayland = false) {
    nlohmann::json v = {{"id", id}, {"type", "con"}, {"pid", pid}, {"focused", focused}, {"visible", true},
                        {"rect", {{"x", x}, {"y", 20}, {"width", 300}, {"height", 200}}},
                        {"nodes", nlohmann::json::array()}, {"floating_nodes", nlohmann::json::array()}};
    if (xwayland) {
        v["app_id"] = nullptr;
        v["window_properties"] = {{"class", appId}, {"instance", "x"}};
    } else {
        v["app_id"] = appId;
    }
    return v;
}

// A desktop of one output with two workspaces (the first shown) and the scratchpad.
nlohmann::json tree(int focusedId) {
    auto floating = view(3, 300, "org.gnome.Calculator", 900, focusedId == 3);
    auto hidden = view(4, 400, "firefox", 0, focusedId == 4);
    hidden.erase("visible");  // where sway does not say, the workspace decides
    auto stashed = view(5, 500, "stashed", 0, false);
    stashed["visible"] = false;
    return {{"id", 1}, {"type", "root"},
            {"nodes",
             {{{"id", 90}, {"type", "output"}, {"name", "__i3"},
               {"nodes", {{{"id", 91}, {"type", "workspace"}, {"name", "__i3_scratch"}, {"floating_nodes", {stashed}}}}}},
              {{"id", 10}, {"type", "output"}, {"name", "HEADLESS-1"}, {"current_workspace", "1"},
               {"nodes",
                {{{"id", 11}, {"type", "workspace"}, {"name", "1"},
                  {"nodes", {{{"id", 12}, {"type", "con"}, {"layout", "splith"},
                              {"nodes", {view(1, 100, "gedit", 0, focusedId == 1), view(2, 200, "XTerm", 300, focusedId == 2, true)}}}}},
                  {"floating_nodes", {floating}}},
                 {{"id", 13}, {"type", "workspace"}, {"name", "2"}, {"nodes", {hidden}}}}}}}}};
}

TEST(SwayIpcTest, MessagesAreFramedAndReassembledWhateverTheReadsCut) {
    const auto bytes = swayipc::encode(swayipc::kGetTree, "") + swayipc::encode(swayipc::kEventBit | 3, R"({"change":"focus"})");
    ASSERT_EQ(bytes.substr(0, 6), "i3-ipc");
    ASSERT_EQ(bytes.size(), 14u + 14u + 18u);
    swayipc::MessageReader reader;
    std::vector<swayipc::Message> got;
    for (char c : bytes) {  // one byte at a time: every cut of a header and a payload
        reader.feed(&c, 1);
        while (auto m = reader.next()) got.push_back(*m);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, swayipc::kGetTree);
    EXPECT_FALSE(got[0].isEvent());
    EXPECT_EQ(got[0].payload, "");
    EXPECT_TRUE(got[1].isEvent());
    EXPECT_EQ(got[1].type & ~swayipc::kEventBit, 3u);
    EXPECT_EQ(got[1].payload, R"({"change":"focus"})");

    // A stream that is not the protocol, or claims an absurd length, ends the reading.
    swayipc::MessageReader garbage;
    garbage.feed("HTTP/1.1 200 OK\r\n", 17);
    EXPECT_FALSE(garbage.next());
    EXPECT_TRUE(garbage.broken());
    auto huge = swayipc::encode(1, "");
    const std::uint32_t length = swayipc::MessageReader::maxPayload + 1;
    std::memcpy(huge.data() + 6, &length, 4);
    swayipc::MessageReader oversized;
    oversized.feed(huge.data(), huge.size());
    EXPECT_FALSE(oversized.next());
    EXPECT_TRUE(oversized.broken());
}

TEST(SwayIpcTest, TheTreeGivesEveryViewWithItsProcessClassFrameFocusAndVisibility) {
    const auto windows = swayipc::windowsOfTree(tree(2));
    ASSERT_EQ(windows.size(), 5u);
    // Tiled before floating on each workspace, the scratchpad's first.
    EXPECT_EQ(windows[0].appId, "stashed");
    EXPECT_FALSE(windows[0].visible);
    EXPECT_EQ(windows[1].id, 1u);
    EXPECT_EQ(windows[1].pid, 100);
    EXPECT_EQ(windows[1].appId, "gedit");
    EXPECT_TRUE(windows[1].visible);
    EXPECT_FALSE(windows[1].focused);
    // An Xwayland window is known by its X11 class.
    EXPECT_EQ(windows[2].appId, "XTerm");
    EXPECT_TRUE(windows[2].focused);
    EXPECT_EQ(windows[2].frame.x, 300);
    EXPECT_EQ(windows[2].frame.y, 20);
    EXPECT_EQ(windows[2].frame.width, 300);
    EXPECT_EQ(windows[2].frame.height, 200);
    EXPECT_EQ(windows[3].appId, "org.gnome.Calculator");
    EXPECT_TRUE(windows[3].visible);
    EXPECT_EQ(windows[4].appId, "firefox");
    EXPECT_FALSE(windows[4].visible);  // on workspace 2, not the output's current one

    // Containers are not windows, and a broken tree gives what can be read.
    EXPECT_TRUE(swayipc::windowsOfTree(nlohmann::json::array()).empty());
    EXPECT_TRUE(swayipc::windowsOfTree({{"nodes", {{{"name", 7}, {"nodes", {"x", 1, nullptr}}}}}}).empty());
    auto noPid = view(8, 0, "", 0, true);
    noPid["pid"] = "12";
    const auto odd = swayipc::windowsOfTree({{"nodes", {{{"name", "out"}, {"nodes", {{{"name", "1"}, {"nodes", {noPid}}}}}}}}});
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_FALSE(odd[0].pid);
    EXPECT_TRUE(odd[0].visible);
}

// A stand-in sway on a private socket: answers GET_VERSION, GET_TREE from `focused`, SUBSCRIBE, and
// sends a window event whenever the test asks.
class FakeSway {
public:
    FakeSway() {
        char folder[] = "/tmp/ws-sway.XXXXXX";
        path_ = std::string(::mkdtemp(folder)) + "/ipc.sock";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path_.c_str());
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 8);
        ::pipe(wake_);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeSway() {
        stop_ = true;
        [[maybe_unused]] auto n = ::write(wake_[1], "x", 1);
        thread_.join();
        for (int fd : clients_) ::close(fd);
        ::close(listener_);
        ::close(wake_[0]);
        ::close(wake_[1]);
        ::unlink(path_.c_str());
        ::rmdir(path_.substr(0, path_.rfind('/')).c_str());
    }
    const std::string& path() const { return path_; }
    std::atomic<int> focused{1};
    std::atomic<int> treesAsked{0};
    void sendEvent(const std::string& change) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(change);
        }
        [[maybe_unused]] auto n = ::write(wake_[1], "e", 1);
    }

private:
    void serve() {
        std::vector<int> subscribed;
        std::map<int, swayipc::MessageReader> readers;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 5000) <= 0) continue;
            if (fds[0].revents & POLLIN) clients_.push_back(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
            if (fds[1].revents & POLLIN) {
                char c;
                [[maybe_unused]] auto n = ::read(wake_[0], &c, 1);
                std::vector<std::string> changes;
                {
                    std::lock_guard lock(mutex_);
                    changes.swap(pending_);
                }
                for (const auto& change : changes)
                    for (int fd : subscribed) send(fd, swayipc::kEventBit | 3, nlohmann::json{{"change", change}}.dump());
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN)) continue;
                char buf[4096];
                const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
                if (n <= 0) continue;
                auto& reader = readers[fds[i].fd];
                reader.feed(buf, static_cast<std::size_t>(n));
                while (auto m = reader.next()) {
                    if (m->type == swayipc::kGetVersion) send(fds[i].fd, m->type, R"({"major":1,"minor":7})");
                    if (m->type == swayipc::kSubscribe) {
                        subscribed.push_back(fds[i].fd);
                        send(fds[i].fd, m->type, R"({"success":true})");
                    }
                    if (m->type == swayipc::kGetTree) {
                        ++treesAsked;
                        send(fds[i].fd, m->type, tree(focused.load()).dump());
                    }
                }
            }
        }
    }
    static void send(int fd, std::uint32_t type, const std::string& payload) {
        const auto bytes = swayipc::encode(type, payload);
        [[maybe_unused]] auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    std::string path_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<int> clients_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> pending_;
    std::thread thread_;
};

// $SWAYSOCK pointed elsewhere for one test, and put back after it.
class SwaySocket {
public:
    explicit SwaySocket(const std::string& path) {
        if (const char* old = std::getenv("SWAYSOCK")) old_ = old;
        ::setenv("SWAYSOCK", path.c_str(), 1);
    }
    ~SwaySocket() {
        if (old_) ::setenv("SWAYSOCK", old_->c_str(), 1);
        else ::unsetenv("SWAYSOCK");
    }

private:
    std::optional<std::string> old_;
};

template <typename Predicate>
bool waitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(SwayIpcTest, TheWatcherKeepsTheWindowsAndTellsEachChangeOfFocusOnce) {
    FakeSway sway;
    SwaySocket socket(sway.path());
    EXPECT_TRUE(linuxplatform::SwayIpcWatcher::available());

    std::mutex m;
    std::vector<std::optional<CompositorWindow>> told;
    linuxplatform::SwayIpcWatcher watcher;
    watcher.followFocus([&](const std::optional<CompositorWindow>& w) {
        std::lock_guard lock(m);
        told.push_back(w);
    });
    const auto query = watcher.focusedWindowQuery();
    ASSERT_TRUE(waitFor([&] { return watcher.windows().size() == 5; }));
    ASSERT_TRUE(watcher.focusedWindow());
    EXPECT_EQ(watcher.focusedWindow()->pid, 100);
    ASSERT_TRUE(query());
    EXPECT_EQ(query()->x, 0);

    // The state at start is no change; a title changes nothing kept and asks nothing.
    const int asked = sway.treesAsked.load();
    sway.sendEvent("title");
    sway.focused = 3;
    sway.sendEvent("focus");
    ASSERT_TRUE(waitFor([&] { std::lock_guard lock(m); return !told.empty(); }));
    {
        std::lock_guard lock(m);
        ASSERT_EQ(told.size(), 1u);
        ASSERT_TRUE(told[0]);
        EXPECT_EQ(told[0]->pid, 300);
        EXPECT_EQ(told[0]->appId, "org.gnome.Calculator");
    }
    EXPECT_EQ(sway.treesAsked.load(), asked + 1);
    EXPECT_EQ(query()->x, 900);

    // An event that leaves the focus where it was tells nothing.
    sway.sendEvent("focus");
    ASSERT_TRUE(waitFor([&] { return sway.treesAsked.load() == asked + 2; }));
    sway.focused = 0;  // an empty workspace has the focus
    sway.sendEvent("focus");
    ASSERT_TRUE(waitFor([&] { std::lock_guard lock(m); return told.size() == 2; }));
    std::lock_guard lock(m);
    EXPECT_FALSE(told[1]);
    EXPECT_FALSE(query());
}

TEST(SwayIpcTest, NoSwayMeansNotAvailableAndAnEmptySnapshot) {
    SwaySocket socket("/nonexistent/sway-ipc.sock");
    EXPECT_FALSE(linuxplatform::SwayIpcWatcher::available());
    linuxplatform::SwayIpcWatcher watcher;
    EXPECT_TRUE(watcher.windows().empty());
    EXPECT_FALSE(watcher.focusedWindowQuery()());
}

}  // namespace
