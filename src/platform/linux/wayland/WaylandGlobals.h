#pragma once
// What a Wayland compositor advertises: the interface names of its globals, asked once over a
// connection of our own (Qt may run on Xwayland and know nothing of them).
#include <set>
#include <string>

namespace linuxplatform {

class WaylandGlobals {
public:
    // Connects to $WAYLAND_DISPLAY, lists the globals and disconnects; empty when no compositor answers.
    static WaylandGlobals query();

    bool has(const std::string& interfaceName) const { return names_.count(interfaceName) > 0; }
    bool empty() const { return names_.empty(); }
    const std::set<std::string>& names() const { return names_; }

private:
    std::set<std::string> names_;
};

}  // namespace linuxplatform
