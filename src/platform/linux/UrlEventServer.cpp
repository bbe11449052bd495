#include "platform/linux/UrlEventServer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace linuxplatform {

namespace {

// An existing folder is used only when it is ours and closed to everyone else.
bool privateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) return false;
    return true;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int connectTo(const std::string& path) {
    sockaddr_un addr{};
    if (!fillAddress(path, addr)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uid_t peerUid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return static_cast<uid_t>(-1);
    return cred.uid;
}

}  // namespace

UrlEventServer::UrlEventServer() = default;

UrlEventServer::~UrlEventServer() { stop(); }

void UrlEventServer::stop() {
    delete notifier_;
    notifier_ = nullptr;
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
        fd_ = -1;
    }
}

std::optional<std::string> UrlEventServer::socketPath() {
    std::string base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        base = std::string(runtime) + "/wellspire-agent";
    else
        base = "/tmp/wellspire-agent-" + std::to_string(::getuid());
    if (!privateFolder(base)) return std::nullopt;
    return base + "/agent.sock";
}

bool UrlEventServer::handOff(const std::optional<std::string>& url) {
    const auto path = socketPath();
    if (!path) return false;
    const int fd = connectTo(*path);
    if (fd < 0) return false;
    // The listener must be this same user too.
    if (peerUid(fd) != ::getuid()) {
        ::close(fd);
        return false;
    }
    bool ok = true;
    if (url) {
        std::string bytes = url->substr(0, kMaxUrlBytes);
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                ok = false;
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    ::shutdown(fd, SHUT_WR);
    // Wait briefly for the agent to close its end, so the URL is read before we exit.
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 2000);
    ::close(fd);
    return ok;
}

bool UrlEventServer::listen() {
    const auto path = socketPath();
    if (!path) return false;
    sockaddr_un addr{};
    if (!fillAddress(*path, addr)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EADDRINUSE) {
            ::close(fd);
            return false;
        }
        // Someone answers: another agent runs. Nobody answers: a stale socket of a crashed one.
        const int other = connectTo(*path);
        if (other >= 0) {
            ::close(other);
            ::close(fd);
            return false;
        }
        ::unlink(path->c_str());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return false;
        }
    }
    ::chmod(path->c_str(), 0600);
    if (::listen(fd, 8) != 0) {
        ::close(fd);
        ::unlink(path->c_str());
        return false;
    }
    fd_ = fd;
    path_ = *path;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, [this] { accept(); });
    return true;
}

void UrlEventServer::accept() {
    for (;;) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        if (peerUid(client) != ::getuid()) {
            ::close(client);
            continue;
        }
        // The sender writes at once and closes its end; never wait long on the GUI thread.
        std::string bytes;
        char buffer[2048];
        for (;;) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 500) <= 0) break;
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            bytes.append(buffer, static_cast<std::size_t>(n));
            if (bytes.size() > kMaxUrlBytes) break;
        }
        ::close(client);
        // A launch without a URL only asks whether an agent runs.
        if (!bytes.empty() && bytes.size() <= kMaxUrlBytes) deliver(bytes);
    }
}

void UrlEventServer::setGetURLHandler(std::function<void(const std::optional<std::string>&)> handler) {
    handler_ = std::move(handler);
    while (handler_ && !queued_.empty()) {
        std::string url = std::move(queued_.front());
        queued_.pop_front();
        handler_(url);
    }
}

void UrlEventServer::deliver(const std::string& url) {
    if (!handler_) {
        queued_.push_back(url);
        return;
    }
    handler_(url);
}

}  // namespace linuxplatform
