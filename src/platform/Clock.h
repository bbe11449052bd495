#pragma once
#include <chrono>

namespace platform {

using TimePoint = std::chrono::system_clock::time_point;

// Wall-clock time. Everything in the agent reads time through here so that tests
// can run hours of agent time on a virtual clock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // Hour of the day (0-23) of an instant in the user's local time zone.
    virtual int localHour(TimePoint t) const = 0;

    // An instant earlier than any real clock reading: 1901-01-01. Nanosecond time points only
    // reach back to 1677, and differences with today must stay inside the same 64-bit range.
    static TimePoint distantPast() {
        return TimePoint{} - std::chrono::seconds(2177452800LL);
    }
};

// Seconds between two instants as a double.
inline double secondsBetween(TimePoint from, TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

inline TimePoint addSeconds(TimePoint t, double seconds) {
    return t + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

}  // namespace platform
