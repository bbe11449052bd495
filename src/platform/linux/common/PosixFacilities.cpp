#include "platform/linux/common/PosixFacilities.h"

#include "platform/linux/common/Trace.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <semaphore>

#include <QFileInfo>

namespace linuxplatform {

int SystemClock::localHour(platform::TimePoint t) const {
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    return tm.tm_hour;
}

ThreadWorker::ThreadWorker() {
    thread_ = std::thread([this] {
        while (true) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    });
}

ThreadWorker::~ThreadWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ThreadWorker::run(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
}

namespace {
class StdSemaphore final : public platform::Semaphore {
public:
    void signal() override { sem_.release(); }
    bool wait(double seconds) override {
        return sem_.try_acquire_for(std::chrono::duration<double>(seconds));
    }

private:
    std::counting_semaphore<> sem_{0};
};

std::string home() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string xdg(const char* var, const char* fallback) {
    const char* v = std::getenv(var);
    // Relative values are invalid and ignored.
    if (v && v[0] == '/') return v;
    return home() + fallback;
}
}  // namespace

std::shared_ptr<platform::Semaphore> StdSemaphores::make() { return std::make_shared<StdSemaphore>(); }

std::string xdgConfigHome() { return xdg("XDG_CONFIG_HOME", "/.config"); }
std::string xdgDataHome() { return xdg("XDG_DATA_HOME", "/.local/share"); }

std::string PosixFiles::applicationSupportDirectory() const { return xdgConfigHome(); }

std::optional<std::string> PosixFiles::readFile(const std::string& path) {
    // Non-blocking, and regular files only: a FIFO or a device at the path must never hold launch.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    char buf[8192];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > (1u << 20)) {  // nothing we read is anywhere near this big
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return out;
}

bool PosixFiles::appendLog(const std::string& path, const std::string& bytes) {
    // The log lives in a world-writable folder: never follow a link, never write into
    // a file someone else owns, and create it for the owner only.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return false;
    }
    // The lines tell of check-ins: a log of ours that others could read (made by hand, or under
    // another umask) is closed to them before anything more is written.
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) != 0) {
        ::close(fd);
        return false;
    }
    // One write per line keeps concurrent appends whole. A short one (a full disk) is cut back
    // off, so that the next line does not start inside it.
    const off_t before = st.st_size;
    ssize_t n;
    do {
        n = ::write(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    const bool whole = n == static_cast<ssize_t>(bytes.size());
    if (!whole && n > 0) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, before);
    }
    ::close(fd);
    if (whole) trace::logLine(bytes);
    return whole;
}

std::optional<std::string> PosixFiles::resourcePath(const std::string& name, const std::string& type) const {
    const std::string path = resourceDir_ + "/" + name + "." + type;
    if (path.front() == ':') return QFileInfo(QString::fromStdString(path)).isFile() ? std::optional(path) : std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return path;
}

}  // namespace linuxplatform
