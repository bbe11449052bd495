#include "platform/linux/net/UrlEventServer.h"

#include <algorithm>
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
#include <QTimer>

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

struct UrlEventServer::Connection {
    int fd = -1;
    std::string bytes;
    bool lineEnded = false;
    QSocketNotifier* notifier = nullptr;
    QTimer* deadline = nullptr;

    // `later` inside the notifier's or the timer's own signal: cut off now, deleted after it returns.
    void release(bool later) {
        // Off the event dispatcher before the descriptor closes and its number is handed out again.
        if (notifier) notifier->setEnabled(false);
        if (deadline) deadline->stop();
        for (QObject* o : {static_cast<QObject*>(notifier), static_cast<QObject*>(deadline)}) {
            if (!o) continue;
            QObject::disconnect(o, nullptr, nullptr, nullptr);
            if (later)
                o->deleteLater();
            else
                delete o;
        }
        notifier = nullptr;
        deadline = nullptr;
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

UrlEventServer::UrlEventServer(int readTimeoutMs) : readTimeoutMs_(readTimeoutMs) {}

UrlEventServer::~UrlEventServer() { stop(); }

void UrlEventServer::stop() {
    delete notifier_;
    notifier_ = nullptr;
    for (auto& c : connections_) c->release(false);
    connections_.clear();
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
    // A URL that could not arrive whole is never cut short; the agent only learns that we ran.
    const bool sendable =
        url && url->size() <= kMaxUrlBytes && url->find_first_of(std::string("\n\0", 2)) == std::string::npos;
    if (sendable || !url) {
        const std::string bytes = (url ? *url : std::string()) + "\n";
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
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        // Another user, or more senders at once than any launch needs: closed unread.
        if (peerUid(client) != ::getuid() || connections_.size() >= kMaxConnections) {
            ::close(client);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection* c = connection.get();
        c->fd = client;
        c->notifier = new QSocketNotifier(client, QSocketNotifier::Read);
        QObject::connect(c->notifier, &QSocketNotifier::activated, [this, c] { readFrom(c); });
        // The whole message must arrive in time, however slowly it trickles.
        c->deadline = new QTimer();
        c->deadline->setSingleShot(true);
        QObject::connect(c->deadline, &QTimer::timeout, [this, c] { finish(c, false); });
        c->deadline->start(readTimeoutMs_);
        connections_.push_back(std::move(connection));
        readFrom(c);
    }
}

void UrlEventServer::readFrom(Connection* c) {
    char buffer[2048];
    for (;;) {
        const ssize_t n = ::recv(c->fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            const auto size = static_cast<std::size_t>(n);
            const char* newline = static_cast<const char*>(std::memchr(buffer, '\n', size));
            const std::size_t take = newline ? static_cast<std::size_t>(newline - buffer) : size;
            if (c->bytes.size() + take > kMaxUrlBytes) return finish(c, false);
            c->bytes.append(buffer, take);
            // The first line is the URL; whatever follows it is never read.
            if (newline) {
                c->lineEnded = true;
                return finish(c, true);
            }
            continue;
        }
        if (n == 0) return finish(c, true);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        return finish(c, false);
    }
}

void UrlEventServer::finish(Connection* c, bool complete) {
    auto it = std::find_if(connections_.begin(), connections_.end(), [c](const auto& p) { return p.get() == c; });
    if (it == connections_.end()) return;
    std::unique_ptr<Connection> owned = std::move(*it);
    connections_.erase(it);
    owned->release(true);
    // An empty line is a launch without a URL; a connection that only closes asks whether an agent runs.
    if (complete && owned->bytes.empty() && owned->lineEnded) {
        if (reopen_) reopen_();
        return;
    }
    if (complete && !owned->bytes.empty() && owned->bytes.find('\0') == std::string::npos) deliver(owned->bytes);
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
        if (queued_.size() < kMaxQueued) queued_.push_back(url);
        return;
    }
    handler_(url);
}

}  // namespace linuxplatform
