#include "platform/linux/common/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace linuxplatform::trace {

namespace {

using Clock = std::chrono::steady_clock;

struct State {
    std::string path;
    Clock::time_point start = Clock::now();
    Clock::time_point written{};
    std::mutex mutex;
    std::map<std::string, double> marks;                      // name -> ms since start
    std::map<std::string, std::vector<std::uint32_t>> tasks;  // kind -> microseconds
};

constexpr std::size_t kMaxSamples = 1'000'000;

State* state() {
    static State* s = [] {
        const char* path = std::getenv("WS_TRACE");
        if (!path || !*path) return static_cast<State*>(nullptr);
        auto* created = new State();  // lives as long as the process, so exit order never matters
        created->path = path;
        return created;
    }();
    return s;
}

double percentile(std::vector<std::uint32_t> v, double p) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

// Called with the mutex held.
void write(State& s) {
    s.written = Clock::now();
    const std::string temporary = s.path + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "w");
    if (!f) return;
    for (const auto& [name, ms] : s.marks) std::fprintf(f, "mark\t%.3f\t%s\n", ms, name.c_str());
    for (const auto& [kind, samples] : s.tasks) {
        const auto most = samples.empty() ? 0u : *std::max_element(samples.begin(), samples.end());
        std::fprintf(f, "task\t%s\tcount=%zu\tp50_us=%.0f\tp99_us=%.0f\tmax_us=%u\n", kind.c_str(), samples.size(),
                     percentile(samples, 0.5), percentile(samples, 0.99), most);
    }
    std::fclose(f);
    std::rename(temporary.c_str(), s.path.c_str());
}

}  // namespace

bool enabled() { return state() != nullptr; }

void mark(const std::string& name) {
    State* s = state();
    if (!s) return;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - s->start).count();
    std::lock_guard lock(s->mutex);
    if (s->marks.emplace(name, ms).second) write(*s);
}

void task(const std::string& kind, Clock::duration took) {
    State* s = state();
    if (!s) return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    std::lock_guard lock(s->mutex);
    auto& samples = s->tasks[kind];
    if (samples.size() < kMaxSamples) samples.push_back(static_cast<std::uint32_t>(std::clamp<long long>(us, 0, UINT32_MAX)));
    if (Clock::now() - s->written > std::chrono::seconds(2)) write(*s);
}

void logLine(const std::string& line) {
    if (!enabled()) return;
    // "<time>  <message>\n"
    const auto gap = line.find("  ");
    std::string message = gap == std::string::npos ? line : line.substr(gap + 2);
    const auto end = message.find_first_of(":=\n");
    message = message.substr(0, std::min<std::size_t>(end, 40));
    mark("log: " + message);
}

}  // namespace linuxplatform::trace
