#include "platform/linux/secrets/FileSecretStore.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/linux/common/PosixFacilities.h"

namespace linuxplatform {
namespace {

constexpr std::size_t kMaxSecretBytes = 1u << 20;
constexpr std::size_t kMaxNameBytes = 240;  // below NAME_MAX, with room for the temp suffix

std::string hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool privateAndOurs(const struct stat& st) {
    return st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// Creates each missing folder of `path` owner-only.
void makeFolders(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string prefix = path.substr(0, pos);
            if (!prefix.empty()) ::mkdir(prefix.c_str(), 0700);
        }
    }
}

std::string tempName(const std::string& finalName) {
    std::random_device rd;
    static const char* digits = "0123456789abcdef";
    std::string suffix;
    for (int i = 0; i < 12; ++i) suffix.push_back(digits[rd() & 15]);
    return "." + finalName + ".tmp-" + suffix;
}

}  // namespace

std::string FileSecretStore::defaultFolder() { return xdgDataHome() + "/wellspire-agent/secrets"; }

std::optional<std::string> FileSecretStore::fileName(const std::string& service, const std::string& account) {
    // Hex keeps every byte of both names out of the path syntax; the dash cannot occur in hex.
    std::string name = hex(service) + "-" + hex(account);
    if (name.size() > kMaxNameBytes) return std::nullopt;
    return name;
}

int FileSecretStore::openFolder(bool create) const {
    if (folder_.empty() || folder_[0] != '/') return -1;
    if (create) makeFolders(folder_);
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    // Our own folder with loose bits (made by hand, or under a lax umask) is tightened.
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<std::string> FileSecretStore::read(const std::string& service, const std::string& account) {
    const auto name = fileName(service, account);
    if (!name) return std::nullopt;
    Fd dir(openFolder(false));
    if (!dir.ok()) return std::nullopt;
    Fd file(::openat(dir.get(), name->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.ok()) return std::nullopt;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !privateAndOurs(st)) return std::nullopt;
    if (static_cast<std::size_t>(st.st_size) > kMaxSecretBytes) return std::nullopt;

    std::string out;
    char buf[4096];
    while (true) {
        const ssize_t n = ::read(file.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kMaxSecretBytes) return std::nullopt;
    }
    return out;
}

void FileSecretStore::add(const std::string& service, const std::string& account, const std::string& bytes) {
    const auto name = fileName(service, account);
    if (!name || bytes.size() > kMaxSecretBytes) return;
    Fd dir(openFolder(true));
    if (!dir.ok()) return;
    struct stat existing {};
    if (::fstatat(dir.get(), name->c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) return;

    const std::string temp = tempName(*name);
    Fd file(::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.ok()) return;
    // The mode argument is subject to the umask, which can only take bits away; make sure of 0600.
    const bool written = ::fchmod(file.get(), 0600) == 0 && writeAll(file.get(), bytes) && ::fsync(file.get()) == 0;
    if (!written) {
        ::unlinkat(dir.get(), temp.c_str(), 0);
        return;
    }
    // Appears whole or not at all, and never over an item that another writer just made.
    int moved = ::renameat2(dir.get(), temp.c_str(), dir.get(), name->c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
        // File systems without RENAME_NOREPLACE: a hard link fails just the same on an existing name.
        moved = ::linkat(dir.get(), temp.c_str(), dir.get(), name->c_str(), 0);
    }
    if (moved != 0 || ::faccessat(dir.get(), temp.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0)
        ::unlinkat(dir.get(), temp.c_str(), 0);
    if (moved == 0) ::fsync(dir.get());
}

void FileSecretStore::remove(const std::string& service, const std::string& account) {
    const auto name = fileName(service, account);
    if (!name) return;
    Fd dir(openFolder(false));
    if (!dir.ok()) return;
    if (::unlinkat(dir.get(), name->c_str(), 0) == 0) ::fsync(dir.get());
}

}  // namespace linuxplatform
