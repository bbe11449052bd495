#include "platform/linux/wayland/SwayIpcWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/linux/wayland/SwayIpcProtocol.h"
#include "platform/linux/wayland/WaylandLog.h"

namespace linuxplatform {

namespace {

constexpr int kAnswerTimeoutMs = 2000;
constexpr int kProbeTimeoutMs = 500;

int connectTo(const char* path) {
    if (!path || !*path) return -1;
    sockaddr_un address{};
    if (std::strlen(path) >= sizeof address.sun_path) return -1;
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads what the socket has into `reader`; false when it closed or failed.
bool readSome(int fd, swayipc::MessageReader& reader) {
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    reader.feed(chunk, static_cast<std::size_t>(n));
    return !reader.broken();
}

// One request and its reply, within `timeoutMs`. Whatever follows the reply stays in `reader`;
// events before it are dropped (`stale` tells of them).
std::optional<swayipc::Message> ask(int fd, std::uint32_t type, const std::string& payload, int timeoutMs,
                                    swayipc::MessageReader& reader, bool* stale = nullptr) {
    if (fd < 0 || !sendAll(fd, swayipc::encode(type, payload))) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (auto m = reader.next()) {
            if (m->type == type) return m;
            if (stale && m->isEvent()) *stale = true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !readSome(fd, reader)) return std::nullopt;
    }
}

bool sameWindow(const std::optional<CompositorWindow>& a, const std::optional<CompositorWindow>& b) {
    if (!a || !b) return !a && !b;
    return a->id == b->id && a->pid == b->pid;
}

}  // namespace

struct SwayIpcWatcher::Impl {
    mutable std::mutex mutex;
    std::vector<CompositorWindow> windows;
    std::optional<CompositorWindow> focused;
    bool primed = false;  // the first snapshot is the state at start, not a change
    FocusHandler handler;

    std::thread thread;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};

    // The watcher's thread only: the request connection and what has come on it.
    std::string path;
    bool lost = false;  // sway went away (or never answered), and the log said so
    int commands = -1;
    swayipc::MessageReader replies;

    void watch();
    // One connection to sway, until it closes or the watcher stops; false when sway could not be reached.
    bool follow();
    void refresh();
    std::optional<swayipc::Message> askTree();
    void closeCommands();
    // Sleeps `ms` unless the watcher is stopped first; false when it is.
    bool pause(int ms);
};

void SwayIpcWatcher::Impl::closeCommands() {
    if (commands >= 0) ::close(commands);
    commands = -1;
    replies = swayipc::MessageReader();
}

// Sway answers requests in order but names none of them, so a reply that came after its request timed
// out would be taken for the next one's, and every reply after it would be one behind. Anything
// waiting before a request is sent, a timeout or a broken stream therefore ends the connection; the
// next request goes on a fresh one.
std::optional<swayipc::Message> SwayIpcWatcher::Impl::askTree() {
    if (commands >= 0) {
        char byte;
        const ssize_t n = ::recv(commands, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) closeCommands();
    }
    if (commands < 0) commands = connectTo(path.c_str());
    if (commands < 0) return std::nullopt;
    auto reply = ask(commands, swayipc::kGetTree, {}, kAnswerTimeoutMs, replies);
    if (!reply || replies.pending() || replies.broken()) {
        closeCommands();
        return std::nullopt;
    }
    return reply;
}

void SwayIpcWatcher::Impl::refresh() {
    auto reply = askTree();
    if (!reply) reply = askTree();  // once more on a fresh connection
    if (!reply) return;
    auto tree = nlohmann::json::parse(reply->payload, nullptr, false);
    if (tree.is_discarded()) return;
    auto found = swayipc::windowsOfTree(tree);
    std::optional<CompositorWindow> nowFocused;
    for (const auto& w : found)
        if (w.focused) nowFocused = w;
    FocusHandler tell;
    {
        std::lock_guard lock(mutex);
        windows = std::move(found);
        const bool changed = !sameWindow(focused, nowFocused);
        focused = nowFocused;
        if (changed && primed) tell = handler;
        primed = true;
    }
    if (tell) tell(nowFocused);
}

bool SwayIpcWatcher::Impl::follow() {
    // Requests go on one connection, events come on the other, so replies never mix with events.
    const int events = connectTo(path.c_str());
    // The first snapshot is taken once sway has confirmed the subscription, so that no change falls
    // between the two.
    swayipc::MessageReader reader;
    if (events < 0 || !ask(events, swayipc::kSubscribe, R"(["window","workspace"])", kAnswerTimeoutMs, reader)) {
        if (events >= 0) ::close(events);
        return false;
    }
    if (lost) waylandLog("SWAY ipc connected again");
    lost = false;
    refresh();
    while (!stopping.load()) {
        bool stale = false;
        while (auto m = reader.next()) {
            if (!m->isEvent()) continue;
            // A title or mark changes nothing the agent keeps.
            const auto event = nlohmann::json::parse(m->payload, nullptr, false);
            const std::string change =
                event.is_object() && event.contains("change") && event["change"].is_string() ? event["change"].get<std::string>() : "";
            if (change != "title" && change != "mark") stale = true;
        }
        if (reader.broken()) break;
        if (stale) refresh();
        pollfd fds[2] = {{events, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (fds[1].revents & POLLIN)) break;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)) || !readSome(events, reader)) break;
    }
    ::close(events);
    closeCommands();
    return true;
}

bool SwayIpcWatcher::Impl::pause(int ms) {
    pollfd wake{wakeFd, POLLIN, 0};
    while (::poll(&wake, 1, ms) < 0 && errno == EINTR) {
    }
    return !stopping.load();
}

void SwayIpcWatcher::Impl::watch() {
    // Sway may restart in place, on the same socket path: its windows are followed again once it
    // answers, asked again and again, less often the longer it stays away.
    constexpr int kFirstRetryMs = 100, kLastRetryMs = 5000;
    int retryMs = kFirstRetryMs;
    while (!stopping.load()) {
        if (follow()) {
            if (stopping.load()) break;
            waylandLog("SWAY ipc connection closed; reconnecting");
            lost = true;
            retryMs = kFirstRetryMs;
        } else if (!lost) {
            waylandLog("SWAY ipc does not answer at " + path + "; retrying");
            lost = true;
        }
        if (!pause(retryMs)) break;
        retryMs = std::min(retryMs * 2, kLastRetryMs);
    }
}

bool SwayIpcWatcher::available() {
    const int fd = connectTo(std::getenv("SWAYSOCK"));
    if (fd < 0) return false;
    swayipc::MessageReader reader;
    const bool answered = ask(fd, swayipc::kGetVersion, {}, kProbeTimeoutMs, reader).has_value();
    ::close(fd);
    return answered;
}

SwayIpcWatcher::SwayIpcWatcher() : impl_(std::make_shared<Impl>()) {
    const char* path = std::getenv("SWAYSOCK");
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (path && impl_->wakeFd >= 0) {
        impl_->path = path;
        Impl* impl = impl_.get();
        impl_->thread = std::thread([impl] { impl->watch(); });
    }
}

SwayIpcWatcher::~SwayIpcWatcher() {
    impl_->stopping.store(true);
    if (impl_->wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(impl_->wakeFd, &one, sizeof one);
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    if (impl_->wakeFd >= 0) ::close(impl_->wakeFd);
}

std::vector<CompositorWindow> SwayIpcWatcher::windows() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->windows;
}

std::optional<CompositorWindow> SwayIpcWatcher::focusedWindow() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->focused;
}

void SwayIpcWatcher::followFocus(FocusHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

FocusedWindowQuery SwayIpcWatcher::focusedWindowQuery() const {
    std::weak_ptr<Impl> weak = impl_;
    return [weak]() -> std::optional<DesktopRect> {
        auto impl = weak.lock();
        if (!impl) return std::nullopt;
        std::lock_guard lock(impl->mutex);
        if (!impl->focused) return std::nullopt;
        return impl->focused->frame;
    };
}

}  // namespace linuxplatform
