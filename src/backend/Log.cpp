#include "backend/Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/Platform.h"

std::string iso8601(platform::TimePoint t) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(t.time_since_epoch()).count();
    const std::time_t tt = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string logValue(std::string_view value) {
    if (value.size() <= kMaxLogValueBytes) return std::string(value);
    std::size_t cut = kMaxLogValueBytes;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
    return std::string(value.substr(0, cut)) + "\u2026";
}

void wsLog(const std::string& message) {
    const auto& services = platform::get();
    if (!services.files || !services.clock) return;
    static std::mutex appendMutex;
    std::lock_guard lock(appendMutex);
    // The time is read under the lock so that lines stay in time order.
    const std::string line = iso8601(services.clock->now()) + "  " + message + "\n";
    services.files->appendLog(kLogPath, line);
}
