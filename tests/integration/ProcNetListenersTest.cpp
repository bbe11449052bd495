// Whose socket listens on a loopback port: another user's server must not pass for ours.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/ProcNetListeners.h"

namespace {

using linuxplatform::ProcNetListeners;

// A listening socket on 127.0.0.1 (or ::ffff:127.0.0.1 on a v6 socket); returns its port.
int listenOnLoopback(int* fd, bool v6) {
    *fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        inet_pton(AF_INET6, "::ffff:127.0.0.1", &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    }
    if (::bind(*fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(*fd, 1) != 0) return -1;
    ::getsockname(*fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

TEST(ProcNetListenersTest, OnlyListenersThatTakeLoopbackConnectionsOnThePortCount) {
    const std::string v4 =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:13BF 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 1 1\n"
        "   1: 00000000:13BF 00000000:0000 0A 00000000:00000000 00:00000000 00000000     7        0 2 1\n"
        "   2: 0100007F:13BF 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     5        0 3 1\n"
        "   3: 0200007F:13BF 00000000:0000 0A 00000000:00000000 00:00000000 00000000     6        0 4 1\n"
        "   4: 0100007F:13C0 00000000:0000 0A 00000000:00000000 00:00000000 00000000     8        0 5 1\n";
    EXPECT_EQ(ProcNetListeners::listenerUids(v4, 5055), (std::vector<unsigned>{1000, 7}));
    const std::string v6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
        "tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0000000000000000FFFF00000100007F:13BF 00000000000000000000000000000000:0000 0A 00000000:00000000 "
        "00:00000000 00000000  1001        0 1 1\n"
        "   1: 00000000000000000000000000000000:13BF 00000000000000000000000000000000:0000 0A 00000000:00000000 "
        "00:00000000 00000000  1002        0 2 1\n"
        "   2: 00000000000000000000000001000000:13BF 00000000000000000000000000000000:0000 0A 00000000:00000000 "
        "00:00000000 00000000  1003        0 3 1\n";
    EXPECT_EQ(ProcNetListeners::listenerUids(v6, 5055), (std::vector<unsigned>{1001, 1002}));
}

TEST(ProcNetListenersTest, OurOwnServerCountsAndAnotherUsersDoesNot) {
    ProcNetListeners listeners;
    for (bool v6 : {false, true}) {
        int fd = -1;
        const int port = listenOnLoopback(&fd, v6);
        ASSERT_GT(port, 0);
        EXPECT_TRUE(listeners.ownedBySelf(port)) << v6;
        ::close(fd);
        EXPECT_FALSE(listeners.ownedBySelf(port)) << v6;
    }
    if (::geteuid() != 0) GTEST_SKIP() << "another user's socket needs root to make";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        int fd = -1;
        int port = ::setuid(65534) == 0 ? listenOnLoopback(&fd, false) : -1;
        [[maybe_unused]] auto n = ::write(ready[1], &port, sizeof port);
        ::pause();
        ::_exit(0);
    }
    int port = -1;
    ASSERT_EQ(::read(ready[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    EXPECT_GT(port, 0);
    EXPECT_FALSE(listeners.ownedBySelf(port));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
