#include "platform/linux/wayland/KWinAuthorization.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace linuxplatform {
namespace {

std::string trimmed(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

std::string canonical(const std::string& path) {
    std::error_code error;
    auto out = std::filesystem::canonical(path, error);
    return error ? std::string() : out.string();
}

}  // namespace

bool KWinAuthorization::entryAuthorizes(const std::string& text, const std::string& executable) {
    std::istringstream lines(text);
    std::string line, exec;
    bool inEntry = false, listed = false;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, equals)), value = trimmed(line.substr(equals + 1));
        if (key == "Exec") exec = value;
        if (key == "X-KDE-DBUS-Restricted-Interfaces") {
            std::istringstream names(value);
            std::string name;
            while (std::getline(names, name, ',')) listed = listed || trimmed(name) == kInterface;
        }
    }
    // KWin compares the whole Exec value, as a path, with the program's path: no arguments, no search.
    if (!listed || exec.empty() || exec[0] != '/') return false;
    return canonical(exec) == executable;
}

std::vector<std::string> KWinAuthorization::applicationDirectories() {
    std::vector<std::string> out;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome && *dataHome) out.push_back(std::string(dataHome) + "/applications");
    else if (home && *home) out.push_back(std::string(home) + "/.local/share/applications");
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::istringstream dirs(dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty()) out.push_back(dir + "/applications");
    return out;
}

bool KWinAuthorization::installed() {
    const std::string self = canonical("/proc/self/exe");
    if (self.empty()) return false;
    for (const auto& dir : applicationDirectories()) {
        std::error_code error;
        for (std::filesystem::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
            if (it->path().extension() != ".desktop" || !it->is_regular_file(error)) continue;
            std::ifstream file(it->path());
            std::stringstream text;
            text << file.rdbuf();
            if (entryAuthorizes(text.str(), self)) return true;
        }
    }
    return false;
}

}  // namespace linuxplatform
