// The URL handler's own process: the pairing token leaves its command line before the hand-off.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads from `fd` up to the first newline, waiting at most `ms` for each piece.
std::string readLine(int fd, int ms) {
    std::string out;
    char c;
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1 || ::recv(fd, &c, 1, 0) != 1 || c == '\n') return out;
        out += c;
    }
}

TEST(UrlArgumentTest, TheTokenIsGoneFromTheCommandLineWhileTheUrlIsHandedOver) {
    char pattern[] = "/tmp/ws-argv.XXXXXX";
    const std::string runtime = ::mkdtemp(pattern);
    // Stands in for the running agent: a listener on the per-user socket that holds the
    // launcher in its hand-off until the command line has been looked at.
    const std::string folder = runtime + "/wellspire-agent";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/agent.sock", folder.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    const std::string url = "wellspire://pair?token=s3cr3t-t0ken";
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const std::string exe = desktop::buildDir() + "/wellspire-agent";
        char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(url.c_str()), nullptr};
        ::execv(exe.c_str(), argv);
        ::_exit(127);
    }
    ASSERT_GT(child, 0);

    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the launcher never connected";
    const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(connection, 0);
    EXPECT_EQ(readLine(connection, 5000), url) << "the URL itself still reaches the agent whole";

    const std::string procDir = "/proc/" + std::to_string(child);
    const std::string cmdline = readAll(procDir + "/cmdline");
    EXPECT_NE(cmdline.find("wellspire-agent"), std::string::npos) << "not the launcher's command line";
    EXPECT_EQ(cmdline.find("s3cr3t"), std::string::npos) << "the token is visible to every user";
    EXPECT_EQ(cmdline.find("wellspire://"), std::string::npos);
    EXPECT_EQ(readAll(procDir + "/environ").find("s3cr3t"), std::string::npos);

    ::close(connection);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(listener);
    fs::remove_all(runtime);
}

}  // namespace
