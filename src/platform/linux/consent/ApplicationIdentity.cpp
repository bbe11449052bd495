#include "platform/linux/consent/ApplicationIdentity.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include <unistd.h>

namespace linuxplatform {
namespace {

// Field 22 of /proc/<pid>/stat, counted after the command name, which may hold spaces and ')'.
unsigned long long startTime(const std::string& stat) {
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
    return 0;
}

namespace fs = std::filesystem;

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string part; std::getline(in, part, sep);)
        if (!part.empty()) out.push_back(part);
    return out;
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Programs that run other programs: their name says nothing of which application it is.
bool isRunner(const std::string& program) {
    static const std::set<std::string> runners{"env", "sh", "bash", "dash", "flatpak", "snap", "java",
                                               "node", "perl", "ruby", "gjs", "mono", "wine"};
    return runners.count(program) > 0 || program.rfind("python", 0) == 0;
}

// The program an Exec= line starts, skipping "env VAR=value".
std::string execProgram(const std::string& exec) {
    std::stringstream in(exec);
    std::string word;
    while (in >> word) {
        if (!word.empty() && word.front() == '"') word = word.substr(1, word.find('"', 1) - 1);
        const std::string name = baseName(word);
        if (name == "env" || word.find('=') != std::string::npos) continue;
        return name;
    }
    return {};
}

// The [Desktop Entry] group of a desktop file, or nothing for a file that is not an application.
std::optional<std::pair<DesktopEntry, bool>> readEntry(const fs::path& file, const std::string& id) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    DesktopEntry entry;
    entry.id = id;
    bool inGroup = false, hidden = false, application = false;
    std::string exec, tryExec;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inGroup) continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        if (key == "Type") application = value == "Application";
        else if (key == "Name") entry.name = value;
        else if (key == "Exec") exec = value;
        else if (key == "TryExec") tryExec = value;
        else if (key == "StartupWMClass") entry.wmClass = value;
        else if ((key == "NoDisplay" || key == "Hidden") && value == "true") hidden = true;
    }
    if (!application) return std::nullopt;
    entry.executable = !tryExec.empty() ? baseName(tryExec) : execProgram(exec);
    if (entry.name.empty()) entry.name = id;
    return std::make_pair(entry, !hidden);
}

// A desktop file path or id as an id: "/usr/share/applications/org.gnome.gedit.desktop" → "org.gnome.gedit".
std::string idOf(std::string file) {
    file = baseName(file);
    if (file.size() > 8 && file.compare(file.size() - 8, 8, ".desktop") == 0) file.resize(file.size() - 8);
    return file;
}

// "\x2d" in a systemd unit name stands for "-".
std::string unescapeUnit(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out.push_back(static_cast<char>(std::strtol(s.substr(i + 2, 2).c_str(), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

}  // namespace

ApplicationIdentity::ApplicationIdentity(std::vector<std::string> dataDirs, std::string procRoot)
    : dataDirs_(std::move(dataDirs)), procRoot_(std::move(procRoot)) {
    if (dataDirs_.empty()) {
        const char* home = std::getenv("XDG_DATA_HOME");
        const char* user = std::getenv("HOME");
        if (home && *home) dataDirs_.emplace_back(home);
        else if (user && *user) dataDirs_.push_back(std::string(user) + "/.local/share");
        const char* dirs = std::getenv("XDG_DATA_DIRS");
        for (auto& dir : split(dirs && *dirs ? dirs : "/usr/local/share:/usr/share", ':')) dataDirs_.push_back(dir);
    }
}

void ApplicationIdentity::refresh() {
    std::lock_guard lock(mutex_);
    loaded_ = false;
}

const ApplicationIdentity::Entries& ApplicationIdentity::entries() {
    if (loaded_) return entries_;
    entries_ = {};
    std::set<std::string> seen;
    for (const auto& dir : dataDirs_) {
        const fs::path apps = fs::path(dir) / "applications";
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(apps, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (!it->is_regular_file(ec) || it->path().extension() != ".desktop") continue;
            // Sub-folders make the id with dashes: applications/kde/foo.desktop is kde-foo.
            std::string id = idOf(fs::relative(it->path(), apps, ec).string());
            std::replace(id.begin(), id.end(), '/', '-');
            // The first folder that has an id wins, even when that entry hides it.
            if (!seen.insert(id).second) continue;
            if (auto entry = readEntry(it->path(), id)) {
                entries_.all.push_back(entry->first);
                if (entry->second) entries_.visible.push_back(entry->first);
            }
        }
    }
    std::sort(entries_.visible.begin(), entries_.visible.end(),
              [](const auto& a, const auto& b) { return lower(a.name) < lower(b.name); });
    loaded_ = true;
    return entries_;
}

std::vector<DesktopEntry> ApplicationIdentity::installed() {
    std::lock_guard lock(mutex_);
    return entries().visible;
}

std::string ApplicationIdentity::displayName(const std::string& id) {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries().all)
        if (e.id == id) return e.name;
    return id;
}

std::string ApplicationIdentity::procText(int pid, const char* file) const {
    std::ifstream in(procRoot_ + "/" + std::to_string(pid) + "/" + file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ApplicationIdentity::desktopId(int pid, std::string_view windowClass, const std::string& executable) {
    const auto& all = entries().all;
    auto known = [&all](const std::string& id) {
        return std::any_of(all.begin(), all.end(), [&id](const auto& e) { return e.id == id; });
    };
    // The window's class or app id: an entry of that name, or one that says it makes such windows.
    if (!windowClass.empty()) {
        const std::string cls = lower(windowClass);
        for (const auto& e : all)
            if (lower(e.wmClass) == cls) return e.id;
        for (const auto& e : all) {
            const std::string id = lower(e.id);
            const auto dot = id.rfind('.');
            if (id == cls || (dot != std::string::npos && id.substr(dot + 1) == cls)) return e.id;
        }
    }
    if (pid > 0) {
        // The entry it was launched from; children inherit the variable, so only for the process itself.
        std::string file, launchedPid;
        for (const auto& var : split(procText(pid, "environ"), '\0')) {
            if (var.rfind("GIO_LAUNCHED_DESKTOP_FILE=", 0) == 0) file = var.substr(26);
            else if (var.rfind("GIO_LAUNCHED_DESKTOP_FILE_PID=", 0) == 0) launchedPid = var.substr(30);
        }
        if (!file.empty() && launchedPid == std::to_string(pid)) return idOf(file);
        // Its systemd scope or service: app[-<launcher>]-<id>[@<n>].service or app[-<launcher>]-<id>-<n>.scope.
        for (const auto& line : split(procText(pid, "cgroup"), '\n')) {
            const std::string unit = baseName(line);
            if (unit.rfind("app-", 0) != 0) continue;
            std::string name = unescapeUnit(unit.substr(4));
            if (name.size() > 6 && name.compare(name.size() - 6, 6, ".scope") == 0) {
                name.resize(name.size() - 6);
                if (const auto dash = name.rfind('-'); dash != std::string::npos) name.resize(dash);
            } else if (name.size() > 8 && name.compare(name.size() - 8, 8, ".service") == 0) {
                name.resize(name.size() - 8);
                if (const auto at = name.find('@'); at != std::string::npos) name.resize(at);
            } else {
                continue;
            }
            if (known(name)) return name;
            // Without the launcher's name in front.
            if (const auto dash = name.find('-'); dash != std::string::npos && known(name.substr(dash + 1)))
                return name.substr(dash + 1);
        }
    }
    // An entry that runs this very program.
    if (!executable.empty() && !isRunner(executable))
        for (const auto& e : all)
            if (e.executable == executable) return e.id;
    return {};
}

std::vector<ApplicationIdentity::Process> ApplicationIdentity::userProcesses() const {
    std::vector<Process> out;
    const std::string uid = std::to_string(::getuid());
    std::error_code ec;
    for (auto it = fs::directory_iterator(procRoot_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
        const int pid = std::stoi(name);
        for (const auto& line : split(procText(pid, "status"), '\n'))
            if (line.rfind("Uid:", 0) == 0) {
                const auto ids = split(line.substr(4), '\t');
                if (!ids.empty() && ids[0] == uid) out.push_back({pid, startTime(procText(pid, "stat"))});
            }
    }
    return out;
}

std::vector<std::string> ApplicationIdentity::running() {
    std::set<std::string> out;
    for (const auto& process : userProcesses()) {
        const int pid = process.pid;
        std::error_code exeError;
        const std::string executable =
            fs::read_symlink(procRoot_ + "/" + std::to_string(pid) + "/exe", exeError).filename().string();
        std::lock_guard lock(mutex_);
        if (auto id = desktopId(pid, {}, executable); !id.empty()) out.insert(id);
    }
    return {out.begin(), out.end()};
}

std::vector<std::string> ApplicationIdentity::identities(int pid, std::string_view windowClass) {
    std::string executable;
    if (pid > 0) {
        std::error_code ec;
        const fs::path exe = fs::read_symlink(procRoot_ + "/" + std::to_string(pid) + "/exe", ec);
        if (!ec) {
            executable = exe.filename().string();
            // A program replaced on disk while it runs.
            if (const auto deleted = executable.find(" (deleted)"); deleted != std::string::npos)
                executable.resize(deleted);
        }
    }
    std::vector<std::string> out;
    {
        std::lock_guard lock(mutex_);
        if (auto id = desktopId(pid, windowClass, executable); !id.empty()) out.push_back(std::move(id));
    }
    if (!executable.empty() && std::find(out.begin(), out.end(), executable) == out.end()) out.push_back(executable);
    return out;
}

}  // namespace linuxplatform
