#pragma once
// Clients of the sway session: the probes as native Wayland clients.

#include <map>
#include <string>
#include <vector>

#include "desktop/Client.h"
#include "desktop/DesktopHarness.h"

namespace desktop {

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

// The lines of the agent's log since it started that begin with `prefix`.
inline std::size_t logLines(const Agent& agent, const std::string& prefix) {
    std::size_t count = 0;
    for (const auto& line : agent.log()) count += line.rfind(prefix, 0) == 0;
    return count;
}

// The agent's log since it started, the last `lines` of it, for a failure message; the line of
// each capture only counted.
inline std::string logTail(const Agent& agent, std::size_t lines = 40) {
    std::vector<std::string> kept;
    for (const auto& line : agent.log())
        if (line.rfind("OCR captured", 0) != 0) kept.push_back(line);
    std::string out = "agent log (" + std::to_string(logLines(agent, "OCR captured")) + " captures):\n";
    for (std::size_t i = kept.size() > lines ? kept.size() - lines : 0; i < kept.size(); ++i) out += "  " + kept[i] + "\n";
    return out;
}

}  // namespace desktop
