#pragma once
// A client program in a process group of its own (browsers start helpers), started with extra
// environment and ended with its group.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "desktop/DesktopHarness.h"

namespace desktop {

class Client {
public:
    explicit Client(std::vector<std::string> argv, const std::map<std::string, std::string>& env = {}) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        if (pid_ > 0) ::setpgid(pid_, pid_);
    }
    ~Client() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGTERM);
        if (!waitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, Seconds(5))) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::kill(-pid_, SIGKILL);  // helpers that outlived their parent
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

}  // namespace desktop
