#include "platform/linux/shell/Autostart.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/common/PosixFacilities.h"

namespace linuxplatform {

namespace {

constexpr const char* kName = "wellspire-agent";

std::string canonical(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string runningBinary() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return kName;
    std::string path(buffer, static_cast<std::size_t>(n));
    // An upgrade replaced the file while we run; the entry must name the new one.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// A string value as desktop entries escape it.
std::string escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string onSearchPath(const std::string& name) {
    const char* env = std::getenv("PATH");
    std::stringstream dirs(env ? env : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

bool mkdirs(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Autostart::Autostart() : Autostart(xdgConfigHome(), execFor(runningBinary()), runningBinary()) {}

Autostart::Autostart(const std::string& configHome, std::string exec, std::string program)
    : folder_(configHome + "/autostart"),
      path_(folder_ + "/" + kFileName),
      exec_(std::move(exec)),
      program_(std::move(program)) {}

std::string Autostart::execFor(const std::string& binary) {
    const std::string found = onSearchPath(kName);
    if (!found.empty() && canonical(found) == canonical(binary) && !canonical(binary).empty()) return kName;
    bool plain = !binary.empty();
    for (char c : binary)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '/' || c == '.' || c == '_' || c == '-' || c == '+');
    if (plain) return binary;
    // Quoted argument: ", `, $ and \ take a backslash; the value's own escaping doubles each
    // backslash again, and a field code's % is written %%.
    std::string out = "\"";
    for (char c : binary) {
        if (c == '"' || c == '`' || c == '$') out += "\\\\";
        if (c == '\\') out += "\\\\\\";
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

bool Autostart::isOn() const {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

bool Autostart::setOn(bool on) {
    if (!on) return ::unlink(path_.c_str()) == 0 || errno == ENOENT;
    if (!mkdirs(folder_)) return false;
    const std::string text = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Wellspire Agent\n"
                             "Comment=Gentle check-ins when what you write or see weighs heavy\n"
                             "TryExec=" + escaped(program_) + "\n"
                             "Exec=" + exec_ + "\n"
                             "Icon=com.wellspire.Agent\n"
                             "Terminal=false\n"
                             "NoDisplay=true\n"
                             "X-GNOME-Autostart-enabled=true\n";
    // Written beside the entry and renamed over it: a session starting now reads the old one or the new one.
    std::string temporary = path_ + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());  // owner-only
    if (fd < 0) return false;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool ok = written == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace linuxplatform
