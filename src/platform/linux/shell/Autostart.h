#pragma once
#include <string>

namespace linuxplatform {

// Start at login, the freedesktop way: an entry in $XDG_CONFIG_HOME/autostart that the session
// runs when the user logs in. Off until the user turns it on; nothing else ever writes it.
class Autostart {
public:
    // The entry of the running agent under the user's config folder.
    Autostart();
    // `exec`: the Exec value as written (see execFor). `program`: the agent's path, which the entry
    // names as TryExec, so that an entry left behind once the agent is removed starts nothing.
    Autostart(const std::string& configHome, std::string exec, std::string program);

    // On when the entry is there and the desktop has not disabled it (Hidden, GNOME's switch).
    bool isOn() const;
    // Writes the entry (atomically, readable by the owner only) or removes it; false when the disk refused.
    bool setOn(bool on);
    const std::string& path() const { return path_; }

    // How the entry starts `binary`: its bare name when the search path finds that same file (an
    // installed agent), else its path, quoted as desktop entries quote arguments.
    static std::string execFor(const std::string& binary);
    static constexpr const char* kFileName = "com.wellspire.Agent.desktop";

private:
    std::string folder_;
    std::string path_;
    std::string exec_;
    std::string program_;
};

}  // namespace linuxplatform
