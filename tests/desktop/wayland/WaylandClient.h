#pragma once
// An application of the sway session in a process group of its own (browsers start helpers),
// started with extra environment and ended with its group.
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

class WaylandClient {
public:
    WaylandClient(std::vector<std::string> argv, const std::map<std::string, std::string>& env = {}) {
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
    ~WaylandClient() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGTERM);
        if (!waitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, Seconds(5))) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::kill(-pid_, SIGKILL);  // helpers that outlived their parent
    }
    WaylandClient(const WaylandClient&) = delete;
    WaylandClient& operator=(const WaylandClient&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// The GTK 3 probe window (tests/desktop/probe_window.py) as a native Wayland client.
inline std::vector<std::string> gtkProbe(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/python3", sourceDir() + "/tests/desktop/probe_window.py"});
    return args;
}
inline const std::map<std::string, std::string> kGtkWayland{{"GDK_BACKEND", "wayland"}};
inline const std::map<std::string, std::string> kQtWayland{{"QT_QPA_PLATFORM", "wayland"}};

// The session has no status area: a new agent would say once, in a box of its own, how to reach
// it, and that box would take the keys typed in the client. The user has seen it already.
inline void skipReachHint(Agent& agent) { agent.presetDefault("ws.reachHintShown", "true"); }

// The agent's log since it started, the last `lines` of it, for a failure message; the line of
// each capture only counted.
inline std::string logTail(const Agent& agent, std::size_t lines = 40) {
    std::vector<std::string> kept;
    std::size_t captures = 0;
    for (const auto& line : agent.log()) {
        if (line.rfind("OCR captured", 0) == 0)
            ++captures;
        else
            kept.push_back(line);
    }
    std::string out = "agent log (" + std::to_string(captures) + " captures):\n";
    for (std::size_t i = kept.size() > lines ? kept.size() - lines : 0; i < kept.size(); ++i) out += "  " + kept[i] + "\n";
    return out;
}

}  // namespace desktop
