#pragma once
// Which application a process is, as the user would name it: its desktop id where one can be found
// (the window's class or app id against the installed desktop entries, the desktop entry the
// process was launched from, its systemd app scope, its executable against the entries' Exec),
// otherwise its executable's name. The "never read" list holds these names.
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace linuxplatform {

struct DesktopEntry {
    std::string id;    // file name without ".desktop", e.g. "org.gnome.gedit"
    std::string name;  // Name=
    std::string executable;  // TryExec=, or the program of Exec=, without its folder
    std::string wmClass;     // StartupWMClass=
};

class ApplicationIdentity {
public:
    // `dataDirs`: where applications/*.desktop are looked for, first wins (XDG_DATA_HOME, then
    // XDG_DATA_DIRS when empty). `procRoot` is /proc but in tests.
    explicit ApplicationIdentity(std::vector<std::string> dataDirs = {}, std::string procRoot = "/proc");

    // Installed entries a user would pick from (NoDisplay and hidden ones left out), by name. Any thread.
    std::vector<DesktopEntry> installed();
    // Reads the entries again (when the user may have installed something). Any thread.
    void refresh();

    // The names by which the process (and its window, when the class or app id is known) can be
    // listed: its desktop id first when found, then its executable. Empty when nothing is known.
    std::vector<std::string> identities(int pid, std::string_view windowClass = {});
    // The user's running applications that have a desktop entry, by id. Any thread.
    std::vector<std::string> running();
    // The user's own processes: their ids, and when each started (its clock ticks since boot, or 0
    // where not told), which tells a process from a later one given the same id. Any thread.
    struct Process {
        int pid = 0;
        unsigned long long started = 0;
    };
    std::vector<Process> userProcesses() const;
    // What the user sees for a listed name: the entry's Name where there is one.
    std::string displayName(const std::string& id);
    const std::string& procRoot() const { return procRoot_; }

private:
    struct Entries {
        std::vector<DesktopEntry> all;      // NoDisplay ones too: they still name running programs
        std::vector<DesktopEntry> visible;
    };
    const Entries& entries();  // under mutex_
    std::string desktopId(int pid, std::string_view windowClass, const std::string& executable);
    std::string procText(int pid, const char* file) const;

    std::vector<std::string> dataDirs_;
    std::string procRoot_;
    std::mutex mutex_;
    bool loaded_ = false;
    Entries entries_;
};

}  // namespace linuxplatform
