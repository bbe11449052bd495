#include "checkins/Snooze.h"

#include <atomic>

#include "backend/Log.h"
#include "platform/Platform.h"

namespace Snooze {
namespace {
using Rep = platform::TimePoint::duration::rep;
std::atomic<Rep>& value() {
    static std::atomic<Rep> v{platform::Clock::distantPast().time_since_epoch().count()};
    return v;
}
}  // namespace

platform::TimePoint until() { return platform::TimePoint(platform::TimePoint::duration(value().load())); }

void setUntil(platform::TimePoint t) { value().store(t.time_since_epoch().count()); }

void set(double hours) {
    const platform::TimePoint end = platform::addSeconds(platform::clock().now(), hours * 3600.0);
    setUntil(end);
    wsLog("SNOOZE until " + iso8601(end));
}

bool isSnoozed(platform::TimePoint now) { return now < until(); }

}  // namespace Snooze
