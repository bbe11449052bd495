// The URL hand-off socket: who can reach it, and how little one connection can make the agent do.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "platform/linux/net/UrlEventServer.h"

namespace {

namespace fs = std::filesystem;
using linuxplatform::UrlEventServer;

// The server only needs an event loop, no display.
void ensureApp() {
    static int argc = 1;
    static char name[] = "integration_tests";
    static char* argv[] = {name, nullptr};
    // One application object per process, whichever suite makes it first.
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

bool pumpUntil(const std::function<bool()>& ready, double seconds) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ready();
}

void pump(double seconds) { pumpUntil([] { return false; }, seconds); }

// A raw client of the socket, non-blocking, so that the server runs on this same thread.
class Client {
public:
    explicit Client(const std::string& path) {
        // Non-blocking from the start: a full backlog must not stall the thread the server runs on.
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    // Bytes the socket took; stops early when the peer has gone.
    std::size_t send(const std::string& bytes) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN) refused_ = true;
            return 0;
        }
        return static_cast<std::size_t>(n);
    }
    void endWrites() { ::shutdown(fd_, SHUT_WR); }
    // True once the server has closed its end.
    bool closedByServer() {
        char c;
        const ssize_t n = ::recv(fd_, &c, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN) || refused_;
    }
    bool refused() const { return refused_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool refused_ = false;
};

class UrlEventServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApp();
        char pattern[] = "/tmp/ws-urlserver.XXXXXX";
        runtime = ::mkdtemp(pattern);
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        saved = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        folder = runtime + "/wellspire-agent";
        socket = folder + "/agent.sock";
    }
    void TearDown() override {
        if (saved) ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1); else ::unsetenv("XDG_RUNTIME_DIR");
        std::error_code ec;
        fs::remove_all(runtime, ec);
    }
    // A server whose handler records what arrives, and how many connections were open then.
    std::unique_ptr<UrlEventServer> start(int timeoutMs = UrlEventServer::kReadTimeoutMs) {
        auto server = std::make_unique<UrlEventServer>(timeoutMs);
        EXPECT_TRUE(server->listen());
        UrlEventServer* raw = server.get();
        server->setGetURLHandler([this, raw](const std::optional<std::string>& url) {
            got.push_back(url.value_or("<none>"));
            openAtDelivery.push_back(raw->openConnections());
        });
        return server;
    }
    // handOff blocks until the agent has read the URL, so it runs beside the event loop.
    bool handOffWhilePumping(const std::optional<std::string>& url) {
        std::atomic<int> result{-1};
        std::thread sender([&] { result = UrlEventServer::handOff(url) ? 1 : 0; });
        pumpUntil([&] { return result.load() >= 0; }, 10);
        sender.join();
        pump(0.05);
        return result.load() == 1;
    }
    static mode_t modeOf(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }

    std::string runtime, folder, socket;
    std::optional<std::string> saved;
    std::vector<std::string> got;
    std::vector<std::size_t> openAtDelivery;
};

TEST_F(UrlEventServerTest, FolderAndSocketAreTheOwnersAlone) {
    // A folder of ours left open (made by hand, or under a lax umask) is closed first.
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ::chmod(folder.c_str(), 0755);
    auto server = start();
    EXPECT_EQ(modeOf(folder) & 07777, 0700u);
    ASSERT_TRUE(S_ISSOCK(modeOf(socket)));
    EXPECT_EQ(modeOf(socket) & 0777, 0600u);
    server->stop();
    EXPECT_FALSE(fs::exists(socket));

    // A link in the folder's place, or a folder of another user, is never used.
    fs::remove_all(folder);
    fs::create_directory(runtime + "/elsewhere");
    fs::create_directory_symlink(runtime + "/elsewhere", folder);
    EXPECT_FALSE(UrlEventServer::socketPath());
    EXPECT_FALSE(UrlEventServer().listen());
    EXPECT_TRUE(fs::is_empty(runtime + "/elsewhere"));
    if (::getuid() == 0) {
        fs::remove(folder);
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(UrlEventServer::socketPath());
    }
}

TEST_F(UrlEventServerTest, OneConnectionCarriesOneUrlAndNothingMore) {
    auto server = start();
    {
        // Only the first line counts, and the server hangs up without waiting for the rest.
        Client c(socket);
        ASSERT_TRUE(c.connected());
        c.send("wellspire://pair?token=first\nwellspire://pair?token=second\n");
        ASSERT_TRUE(pumpUntil([&] { return c.closedByServer(); }, 5));
    }
    {
        // The end of the stream ends the URL as well as a newline does.
        Client c(socket);
        c.send("wellspire://pair?token=third");
        c.endWrites();
        ASSERT_TRUE(pumpUntil([&] { return c.closedByServer(); }, 5));
    }
    {
        Client c(socket);
        c.send(std::string("wellspire://pair?token=a\0b\n", 27));
        ASSERT_TRUE(pumpUntil([&] { return c.closedByServer(); }, 5));
    }
    pump(0.05);
    EXPECT_EQ(got, (std::vector<std::string>{"wellspire://pair?token=first", "wellspire://pair?token=third"}));

    // A launcher never sends what could not arrive whole: a newline inside, or a URL over the limit.
    got.clear();
    EXPECT_TRUE(handOffWhilePumping(std::string("wellspire://pair?token=x\nwellspire://pair?token=y")));
    EXPECT_TRUE(handOffWhilePumping("wellspire://pair?token=" + std::string(UrlEventServer::kMaxUrlBytes, 'k')));
    EXPECT_TRUE(handOffWhilePumping(std::nullopt));
    EXPECT_TRUE(got.empty());
    const std::string longest = "wellspire://pair?token=" + std::string(UrlEventServer::kMaxUrlBytes - 23, 'k');
    EXPECT_TRUE(handOffWhilePumping(longest));
    EXPECT_EQ(got, std::vector<std::string>{longest});
    EXPECT_EQ(server->openConnections(), 0u);
}

TEST_F(UrlEventServerTest, ALaunchWithoutAUrlOpensTheWindowAndOnlyThat) {
    auto server = start();
    int reopened = 0;
    server->setReopenHandler([&] { ++reopened; });
    EXPECT_TRUE(handOffWhilePumping(std::nullopt));
    EXPECT_EQ(reopened, 1);
    EXPECT_TRUE(got.empty());

    // A URL, one that could not be sent whole, and a bare "does an agent run?" connection (a second
    // agent starting at the same moment asks that) open nothing.
    EXPECT_TRUE(handOffWhilePumping(std::string("wellspire://pair?token=z")));
    EXPECT_TRUE(handOffWhilePumping(std::string("wellspire://pair?token=x\ny")));
    {
        Client c(socket);
        ASSERT_TRUE(c.connected());
        c.endWrites();
        ASSERT_TRUE(pumpUntil([&] { return c.closedByServer(); }, 5));
    }
    EXPECT_FALSE(UrlEventServer().listen());
    pump(0.1);
    EXPECT_EQ(reopened, 1);
    EXPECT_EQ(got, std::vector<std::string>{"wellspire://pair?token=z"});
}

TEST_F(UrlEventServerTest, MegabytesAreCutOffAtTheLimitAndDeliverNothing) {
    auto server = start();
    Client c(socket);
    ASSERT_TRUE(c.connected());
    const std::string chunk(64 * 1024, 'a');
    std::size_t sent = 0;
    // Keeps writing while the server reads, until the server hangs up or 16 MiB have gone.
    pumpUntil(
        [&] {
            for (int i = 0; i < 8 && sent < (16u << 20); ++i) sent += c.send(chunk);
            return c.closedByServer() || sent >= (16u << 20);
        },
        10);
    EXPECT_TRUE(c.closedByServer());
    // Only what the socket buffers took besides the limit got out of the sender.
    EXPECT_LT(sent, 4u << 20);
    pump(0.05);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(server->openConnections(), 0u);
}

TEST_F(UrlEventServerTest, SilentAndTricklingSendersTimeOutWithoutHoldingUpOthers) {
    auto server = start(1000);
    Client silent(socket);
    Client trickle(socket);
    ASSERT_TRUE(silent.connected() && trickle.connected());
    pump(0.05);
    EXPECT_EQ(server->openConnections(), 2u);

    // While both are still open, another launch gets its URL through at once.
    EXPECT_TRUE(handOffWhilePumping(std::string("wellspire://pair?token=quick")));
    ASSERT_EQ(got, std::vector<std::string>{"wellspire://pair?token=quick"});
    EXPECT_EQ(openAtDelivery, std::vector<std::size_t>{2});

    // One byte every 20 ms never finishes within the deadline: cut, and nothing of it delivered.
    const std::string slow = "wellspire://pair?token=" + std::string(100, 's');
    std::size_t at = 0;
    ASSERT_TRUE(pumpUntil(
        [&] {
            if (at < slow.size()) at += trickle.send(slow.substr(at, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(18));
            return silent.closedByServer() && trickle.closedByServer();
        },
        5));
    EXPECT_LT(at, slow.size());
    pump(0.05);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(server->openConnections(), 0u);
}

TEST_F(UrlEventServerTest, AFloodOfConnectionsIsHeldToAFewAndTheRestHungUpOn) {
    auto server = start(2000);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(std::make_unique<Client>(socket));
        ASSERT_TRUE(clients.back()->connected()) << i;
        pump(0.005);
    }
    pump(0.05);
    EXPECT_EQ(server->openConnections(), UrlEventServer::kMaxConnections);
    std::size_t hungUp = 0;
    for (auto& c : clients) hungUp += c->closedByServer() ? 1 : 0;
    EXPECT_EQ(hungUp, clients.size() - UrlEventServer::kMaxConnections);

    // Once the held ones time out, a launch gets through again.
    ASSERT_TRUE(pumpUntil([&] { return server->openConnections() == 0; }, 5));
    EXPECT_TRUE(handOffWhilePumping(std::string("wellspire://pair?token=after")));
    EXPECT_EQ(got, std::vector<std::string>{"wellspire://pair?token=after"});
}

TEST_F(UrlEventServerTest, UrlsBeforeAHandlerAreKeptToAFew) {
    UrlEventServer server;
    for (int i = 0; i < 50; ++i) server.deliver("wellspire://pair?token=" + std::to_string(i));
    std::vector<std::string> early;
    server.setGetURLHandler([&](const std::optional<std::string>& url) { early.push_back(url.value_or("")); });
    ASSERT_EQ(early.size(), UrlEventServer::kMaxQueued);
    EXPECT_EQ(early.front(), "wellspire://pair?token=0");
}

TEST_F(UrlEventServerTest, AnotherUserIsHungUpOnEvenWhereTheFolderLetsThemIn) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    auto server = start();
    // Opened up on purpose, so that only the peer check stands in the way.
    ::chmod(runtime.c_str(), 0711);
    ::chmod(folder.c_str(), 0711);
    ::chmod(socket.c_str(), 0666);
    const pid_t child = ::fork();
    if (child == 0) {
        // Raw system calls: only async-signal-safe work after fork.
        if (::syscall(SYS_setresgid, 65534, 65534, 65534) != 0 || ::syscall(SYS_setresuid, 65534, 65534, 65534) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, socket.c_str(), socket.size() + 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(3);
        const char url[] = "wellspire://pair?token=evil\n";
        (void)::send(fd, url, sizeof url - 1, MSG_NOSIGNAL);
        pollfd p{fd, POLLIN, 0};
        char c;
        const bool hungUp = ::poll(&p, 1, 5000) == 1 && ::recv(fd, &c, 1, 0) <= 0;
        ::_exit(hungUp ? 0 : 4);
    }
    int status = 0;
    ASSERT_TRUE(pumpUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no setuid, 3: could not connect, 4: not hung up on";
    pump(0.1);
    EXPECT_TRUE(got.empty());
}

}  // namespace
