#include "platform/linux/recognition/ReadingPace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace linuxplatform {

namespace {

// A small /proc file whole; empty where it cannot be read.
std::string procText(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    // /proc/stat's interrupt line alone may take kilobytes.
    std::string text;
    char chunk[16384];
    ssize_t length = 0;
    while (text.size() < (1 << 20) && (length = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(length));
    close(fd);
    return text;
}

// The first number after `key` in `text`.
std::optional<unsigned long long> field(const std::string& text, const char* key) {
    const auto at = text.find(key);
    unsigned long long value = 0;
    if (at == std::string::npos || std::sscanf(text.c_str() + at + std::strlen(key), "%llu", &value) != 1)
        return std::nullopt;
    return value;
}

}  // namespace

ReadingPace::ReadingPace(Source source) : source_(source) {}

std::optional<ReadingPace::Times> ReadingPace::sample(Clock::time_point at) {
    timespec cpu{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) != 0) return std::nullopt;
    const Nanoseconds ran = std::chrono::seconds(cpu.tv_sec) + Nanoseconds(cpu.tv_nsec);
    const long processors = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    if (source_ == Source::pressure) {
        // "some avg10=… avg60=… avg300=… total=<µs>" is its first line. The kernel averages the
        // processors: one of two with a thread waiting all the time counts half the time.
        if (const auto total = field(procText("/proc/pressure/cpu"), "total="))
            return Times{ran, std::chrono::microseconds(*total) * processors};
        source_ = Source::runnable;
    }
    const auto running = field(procText("/proc/stat"), "procs_running ");
    if (!running) return std::nullopt;
    // The count includes this thread, which is running as it asks.
    if (sampledAt_ != Clock::time_point{} && *running > static_cast<unsigned long long>(processors))
        runnableContended_ += at - sampledAt_;
    sampledAt_ = at;
    return Times{ran, runnableContended_};
}

void ReadingPace::begin(Times now, Clock::time_point at) {
    last_ = now;
    lastAt_ = at;
    recentWall_ = recentContended_ = 0;
    frameRan_ = frameTook_ = due_ = 0;
}

double ReadingPace::account(Times now, Clock::time_point at) {
    const Nanoseconds ran = now.ran - last_.ran;
    const Nanoseconds wall = at - lastAt_;
    const Nanoseconds waited = std::clamp(now.contended - last_.contended, Nanoseconds{}, wall);
    last_ = now;
    lastAt_ = at;
    const double decay = std::exp2(-static_cast<double>(wall.count()) / static_cast<double>(halfLife.count()));
    recentWall_ = recentWall_ * decay + static_cast<double>(wall.count());
    recentContended_ = recentContended_ * decay + static_cast<double>(waited.count());
    // Contended now, and not for a moment only.
    const bool busyNow = ran.count() > 0 && static_cast<double>(waited.count()) >= contended * static_cast<double>(wall.count());
    if (busyNow && recentContended_ >= contended * recentWall_) {
        frameRan_ += std::chrono::duration<double>(ran).count();
        frameTook_ += std::chrono::duration<double>(wall).count();
        due_ = due(frameRan_);
    }
    return std::max(0.0, due_ - frameTook_);
}

double ReadingPace::due(double ran) {
    // The one real root of s³ + p·s + q = 0 (p > 0), by Cardano's formula.
    const double p = 3 * share / sharePerSecondSquared, q = -3 * ran / sharePerSecondSquared;
    const double root = std::sqrt(q * q / 4 + p * p * p / 27);
    return std::cbrt(-q / 2 + root) + std::cbrt(-q / 2 - root);
}

ReadingPace::Nanoseconds ReadingPace::pauseAfter(Times now, Clock::time_point at) { return settled(account(now, at), at); }

ReadingPace::Nanoseconds ReadingPace::settled(double debt, Clock::time_point at) {
    frameTook_ += debt;
    const auto pause = std::chrono::duration_cast<Nanoseconds>(std::chrono::duration<double>(debt));
    lastAt_ = at + pause;  // the pause is this frame's, not the next piece's
    return pause;
}

}  // namespace linuxplatform
