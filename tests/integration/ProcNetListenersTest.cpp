// Whose socket listens on a loopback port: another user's server must not pass for ours.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/net/ProcNetListeners.h"

namespace {

using linuxplatform::ProcNetListeners;

// A socket listening on 127.0.0.1; returns its port.
int listenOnLoopback(int* fd) {
    *fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(*fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(*fd, 1) != 0) return -1;
    ::getsockname(*fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

TEST(ProcNetListenersTest, OnlyListenersThatTakeLoopbackConnectionsOnThePortCount) {
    // 127.0.0.1 and 0.0.0.0 listening count; a connection, 127.0.0.2 and another port do not.
    const std::string head = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
    const std::string v4 = head +
        "   0: 0100007F:13BF 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000\n"
        "   1: 00000000:13BF 00000000:0000 0A 00000000:00000000 00:00000000 00000000     7\n"
        "   2: 0100007F:13BF 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     5\n"
        "   3: 0200007F:13BF 00000000:0000 0A 00000000:00000000 00:00000000 00000000     6\n"
        "   4: 0100007F:13C0 00000000:0000 0A 00000000:00000000 00:00000000 00000000     8\n";
    EXPECT_EQ(ProcNetListeners::listenerUids(v4, 5055), (std::vector<unsigned>{1000, 7}));
    // In tcp6: ::ffff:127.0.0.1 and :: count, ::1 does not.
    const std::string zero = "00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000";
    const std::string v6 = head + "   0: 0000000000000000FFFF00000100007F:13BF " + zero + "  1001\n" +
                           "   1: 00000000000000000000000000000000:13BF " + zero + "  1002\n" +
                           "   2: 00000000000000000000000001000000:13BF " + zero + "  1003\n";
    EXPECT_EQ(ProcNetListeners::listenerUids(v6, 5055), (std::vector<unsigned>{1001, 1002}));
}

TEST(ProcNetListenersTest, OurOwnServerCountsAndAnotherUsersDoesNot) {
    ProcNetListeners listeners;
    int fd = -1;
    const int port = listenOnLoopback(&fd);
    ASSERT_GT(port, 0);
    EXPECT_TRUE(listeners.ownedBySelf(port));
    ::close(fd);
    EXPECT_FALSE(listeners.ownedBySelf(port));
    if (::geteuid() != 0) GTEST_SKIP() << "another user's socket needs root to make";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        int theirs = ::setuid(65534) == 0 ? listenOnLoopback(&fd) : -1;
        [[maybe_unused]] auto n = ::write(ready[1], &theirs, sizeof theirs);
        ::pause();
        ::_exit(0);
    }
    int theirs = -1;
    ASSERT_EQ(::read(ready[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
    EXPECT_GT(theirs, 0);
    EXPECT_FALSE(listeners.ownedBySelf(theirs));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
