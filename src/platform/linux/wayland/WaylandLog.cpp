#include "platform/linux/wayland/WaylandLog.h"

#include <ctime>

#include "backend/Log.h"
#include "platform/Platform.h"

namespace linuxplatform {

void waylandLog(const std::string& message) {
    const auto& services = platform::get();
    if (!services.files || !services.clock) return;
    static std::mutex appendMutex;
    std::lock_guard lock(appendMutex);
    // The same shape as the agent's other lines: UTC time, two spaces, the message.
    const std::time_t t = std::chrono::system_clock::to_time_t(services.clock->now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    services.files->appendLog(kLogPath, std::string(stamp) + "  " + message + "\n");
}

void ChangeLog::failed(const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        if (failing_ == why) return;
        failing_ = why;
    }
    waylandLog("CAPTURE " + who_ + " failing: " + why);
}

void ChangeLog::working() {
    {
        std::lock_guard lock(mutex_);
        if (!failing_) return;
        failing_.reset();
    }
    waylandLog("CAPTURE " + who_ + " works again");
}

}  // namespace linuxplatform
