// Sway's IPC as the agent reads it: framing across reads, the tree into windows, and the watcher
// against a stand-in sway on a private socket.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
using nlohmann::json;
namespace swayipc = linuxplatform::swayipc;

json view(int id, int pid, const std::string& appId, int x, int focusedId, bool xwayland = false) {
    json v = {{"id", id}, {"pid", pid}, {"focused", id == focusedId}, {"visible", true}, {"nodes", json::array()},
              {"rect", {{"x", x}, {"y", 20}, {"width", 300}, {"height", 200}}}};
    if (xwayland) v["window_properties"] = {{"class", appId}};
    else v["app_id"] = appId;
    return v;
}

// One output with two workspaces (the first shown), and the scratchpad.
json tree(int focused) {
    auto hidden = view(4, 400, "firefox", 0, focused);
    hidden.erase("visible");  // where sway does not say, the workspace decides
    auto stashed = view(5, 500, "stashed", 0, focused);
    stashed["visible"] = false;
    const json split = {{"id", 12}, {"nodes", {view(1, 100, "gedit", 0, focused), view(2, 200, "XTerm", 300, focused, true)}}};
    return {{"nodes",
             {{{"name", "__i3"}, {"nodes", {{{"name", "__i3_scratch"}, {"floating_nodes", {stashed}}}}}},
              {{"name", "HEADLESS-1"}, {"current_workspace", "1"},
               {"nodes", {{{"name", "1"}, {"nodes", {split}}, {"floating_nodes", {view(3, 300, "calc", 900, focused)}}},
                          {{"name", "2"}, {"nodes", {hidden}}}}}}}}};
}

TEST(SwayIpcTest, MessagesAreReassembledWhereverTheReadsCutAndABrokenStreamStops) {
    const auto bytes = swayipc::encode(swayipc::kGetTree) + swayipc::encode(swayipc::kEventBit | 3, R"({"change":"focus"})");
    ASSERT_EQ(bytes.substr(0, 6), "i3-ipc");
    swayipc::MessageReader reader;
    std::vector<swayipc::Message> got;
    for (char c : bytes) {
        reader.feed(&c, 1);
        while (auto m = reader.next()) got.push_back(*m);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, swayipc::kGetTree);
    EXPECT_FALSE(got[0].isEvent());
    EXPECT_TRUE(got[1].isEvent());
    EXPECT_EQ(got[1].payload, R"({"change":"focus"})");

    auto huge = swayipc::encode(1);
    const std::uint32_t length = swayipc::MessageReader::maxPayload + 1;
    std::memcpy(huge.data() + 6, &length, 4);
    for (const std::string& bad : {std::string("HTTP/1.1 200 OK\r\n"), huge}) {
        swayipc::MessageReader broken;
        broken.feed(bad.data(), bad.size());
        EXPECT_FALSE(broken.next());
        EXPECT_TRUE(broken.broken());
    }
}

TEST(SwayIpcTest, TheTreeGivesEveryViewWithItsProcessClassFrameFocusAndVisibility) {
    const auto w = swayipc::windowsOfTree(tree(2));
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0].appId, "stashed");
    EXPECT_FALSE(w[0].visible);
    EXPECT_EQ(w[1].id, 1u);
    EXPECT_EQ(w[1].pid, 100);
    EXPECT_TRUE(w[1].visible);
    EXPECT_FALSE(w[1].focused);
    EXPECT_EQ(w[2].appId, "XTerm");  // Xwayland: its X11 class
    EXPECT_TRUE(w[2].focused);
    EXPECT_EQ(std::vector<int>({w[2].frame.x, w[2].frame.y, w[2].frame.width, w[2].frame.height}),
              std::vector<int>({300, 20, 300, 200}));
    EXPECT_EQ(w[3].appId, "calc");  // floating, above the tiled ones
    EXPECT_EQ(w[4].appId, "firefox");
    EXPECT_FALSE(w[4].visible);  // not on the output's current workspace
    // What does not parse as expected is skipped, not trusted.
    EXPECT_TRUE(swayipc::windowsOfTree(json::array()).empty());
    EXPECT_TRUE(swayipc::windowsOfTree({{"nodes", {{{"name", 7}, {"nodes", {"x", 1, nullptr}}}}}}).empty());
}

// A stand-in sway: answers GET_VERSION, SUBSCRIBE and GET_TREE (from `focused`), and sends a window
// event to the subscribers for each call of `event`. `at`: the socket path of a sway restarted in place.
class FakeSway {
public:
    explicit FakeSway(const std::string& at = {}) {
        char folder[] = "/tmp/ws-sway.XXXXXX";
        if (at.empty()) path = std::string(::mkdtemp(folder)) + "/ipc.sock";
        else ::mkdir((path = at).substr(0, at.rfind('/')).c_str(), 0700);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path.c_str());
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 8);
        ::setenv("SWAYSOCK", path.c_str(), 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeSway() {
        event("stop");
        thread_.join();
        for (int fd : {listener_, wake_[0], wake_[1]}) ::close(fd);
        ::unlink(path.c_str());
        ::rmdir(path.substr(0, path.rfind('/')).c_str());
        ::unsetenv("SWAYSOCK");
    }
    void event(const std::string& change) {
        std::lock_guard lock(mutex_);
        events_.push_back(change);
        [[maybe_unused]] auto n = ::write(wake_[1], "e", 1);
    }
    std::string path;
    std::atomic<int> focused{1}, treesAsked{0};
    // A GET_TREE reply from before, sent to the requesting connections ahead of the next event: the
    // answer to a request that had given up waiting.
    std::atomic<int> lateReplyOf{-1};

private:
    void serve() {
        std::map<int, swayipc::MessageReader> clients;
        std::vector<int> subscribed;
        for (;;) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            for (const auto& [fd, reader] : clients) fds.push_back({fd, POLLIN, 0});
            ::poll(fds.data(), fds.size(), -1);
            if (fds[0].revents & POLLIN) clients[::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)];
            if (fds[1].revents & POLLIN) {
                char c;
                [[maybe_unused]] auto n = ::read(wake_[0], &c, 1);
                std::lock_guard lock(mutex_);
                const auto change = events_.front();
                events_.erase(events_.begin());
                if (change == "stop") break;
                if (const int late = lateReplyOf.exchange(-1); late >= 0)
                    for (const auto& [fd, reader] : clients)
                        if (std::find(subscribed.begin(), subscribed.end(), fd) == subscribed.end())
                            send(fd, swayipc::kGetTree, tree(late).dump());
                for (int fd : subscribed) send(fd, swayipc::kEventBit | 3, json{{"change", change}}.dump());
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                char buf[4096];
                const ssize_t n = (fds[i].revents & POLLIN) ? ::recv(fds[i].fd, buf, sizeof buf, 0) : 0;
                auto& reader = clients[fds[i].fd];
                if (n > 0) reader.feed(buf, static_cast<std::size_t>(n));
                while (auto m = reader.next()) {
                    if (m->type == swayipc::kSubscribe) subscribed.push_back(fds[i].fd);
                    if (m->type == swayipc::kGetTree) ++treesAsked;
                    send(fds[i].fd, m->type, m->type == swayipc::kGetTree ? tree(focused).dump() : R"({"success":true})");
                }
            }
        }
        for (const auto& [fd, reader] : clients) ::close(fd);
    }
    static void send(int fd, std::uint32_t type, const std::string& payload) {
        const auto bytes = swayipc::encode(type, payload);
        [[maybe_unused]] auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    int listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int wake_[2] = {-1, -1};
    [[maybe_unused]] int piped_ = ::pipe(wake_);
    std::mutex mutex_;
    std::vector<std::string> events_;
    std::thread thread_;
};

template <typename Predicate>
bool waitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return done();
}

TEST(SwayIpcTest, TheWatcherKeepsTheWindowsAndTellsEachChangeOfFocusOnce) {
    FakeSway sway;
    EXPECT_TRUE(linuxplatform::SwayIpcWatcher::available());
    std::mutex m;
    std::vector<std::optional<CompositorWindow>> told;
    linuxplatform::SwayIpcWatcher watcher;
    watcher.followFocus([&](const std::optional<CompositorWindow>& w) {
        std::lock_guard lock(m);
        told.push_back(w);
    });
    const auto frame = watcher.focusedWindowQuery();
    ASSERT_TRUE(waitFor([&] { return watcher.windows().size() == 5; }));
    EXPECT_EQ(watcher.focusedWindow()->pid, 100);  // the state at start is no change
    const int asked = sway.treesAsked;
    sway.event("title");  // changes nothing kept, asks nothing
    sway.focused = 3;
    sway.event("focus");
    ASSERT_TRUE(waitFor([&] { std::lock_guard lock(m); return told.size() == 1; }));
    EXPECT_EQ(sway.treesAsked, asked + 1);
    sway.event("focus");  // the focus stays where it is: nothing to tell
    ASSERT_TRUE(waitFor([&] { return sway.treesAsked == asked + 2; }));
    sway.focused = 0;  // an empty workspace has the focus
    sway.event("focus");
    ASSERT_TRUE(waitFor([&] { std::lock_guard lock(m); return told.size() == 2; }));
    std::lock_guard lock(m);
    EXPECT_EQ(told[0]->pid, 300);
    EXPECT_EQ(told[0]->appId, "calc");
    EXPECT_FALSE(told[1]);
    EXPECT_FALSE(frame());
    EXPECT_EQ(sway.treesAsked, asked + 3);
}

}  // namespace

namespace {

TEST(SwayIpcTest, TheWatcherStaysInStepAfterALateReplyAndFollowsSwayRestartedInPlace) {
    auto sway = std::make_unique<FakeSway>();
    const std::string path = sway->path;
    std::mutex m;
    std::vector<std::optional<CompositorWindow>> told;
    linuxplatform::SwayIpcWatcher watcher;
    watcher.followFocus([&](const std::optional<CompositorWindow>& w) {
        std::lock_guard lock(m);
        told.push_back(w);
    });
    const auto toldCount = [&] {
        std::lock_guard lock(m);
        return told.size();
    };
    ASSERT_TRUE(waitFor([&] { return watcher.windows().size() == 5; }));

    // A reply to an earlier request (focus on 1) comes in ahead of the event that the focus moved to 3:
    // taken for the answer, it would leave the watcher one reply behind from then on.
    sway->lateReplyOf = 1;
    sway->focused = 3;
    sway->event("focus");
    ASSERT_TRUE(waitFor([&] { return toldCount() == 1; }));
    EXPECT_EQ(watcher.focusedWindow()->pid, 300);
    sway->focused = 2;
    sway->event("focus");
    ASSERT_TRUE(waitFor([&] { return toldCount() == 2; }));
    EXPECT_EQ(watcher.focusedWindow()->pid, 200);

    // Sway goes away and comes back on the same socket with another window focused.
    sway.reset();
    sway = std::make_unique<FakeSway>(path);
    sway->focused = 1;
    ASSERT_TRUE(waitFor([&] { return toldCount() == 3; }));
    EXPECT_EQ(watcher.focusedWindow()->pid, 100);
    sway->focused = 3;
    sway->event("focus");
    ASSERT_TRUE(waitFor([&] { return toldCount() == 4; }));
    std::lock_guard lock(m);
    EXPECT_EQ(told[0]->pid, 300);
    EXPECT_EQ(told[1]->pid, 200);
    EXPECT_EQ(told[2]->pid, 100);
    EXPECT_EQ(told[3]->pid, 300);
}

}  // namespace
