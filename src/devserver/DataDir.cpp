#include "devserver/DataDir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devserver::DataDir {

namespace {

std::string home() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    throw std::runtime_error("cannot find the home folder");
}

}  // namespace

std::string folder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const std::string base = (xdg && xdg[0] == '/') ? std::string(xdg) : home() + "/.local/share";
    return base + "/wellspire-devserver";
}

void ensurePrivateFolder(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + parent + ": " + std::strerror(errno));
    }
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw std::runtime_error(path + " is not a folder");
    if ((st.st_mode & 0777) != 0700 && chmod(path.c_str(), 0700) != 0)
        throw std::runtime_error("cannot restrict " + path + ": " + std::strerror(errno));
}

std::string defaultDatabasePath() {
    const std::string dir = folder();
    ensurePrivateFolder(dir);
    return dir + "/devserver.sqlite3";
}

}  // namespace devserver::DataDir
