#include "platform/linux/recognition/InlineSections.h"

#include <dlfcn.h>
#include <omp.h>

#include <atomic>
#include <vector>

extern "C" {
void GOMP_parallel_sections(void (*fn)(void*), void* data, unsigned threads, unsigned count, unsigned flags);
unsigned GOMP_sections_start(unsigned count);
unsigned GOMP_sections_next();
void GOMP_sections_end();
void GOMP_sections_end_nowait();
}

namespace {

// The sections constructs open on this thread, innermost last, each at the team level it was
// opened at: run here, or handed to libgomp.
struct Open {
    int level = 0;
    bool libgomp = false;
    unsigned next = 1;  // sections are numbered from 1; 0 says there are none left
    unsigned count = 0;
    unsigned take() { return next <= count ? next++ : 0; }
};
thread_local std::vector<Open> open;
// The team level of the innermost region run here (its sections bind to no team but this thread).
thread_local int inlineLevel = -1;
std::atomic<std::uint64_t> regions{0};

// Whether a construct met now is shared out among several threads: that is libgomp's work.
bool shared() { return inlineLevel != omp_get_level() && omp_get_num_threads() > 1; }

// The construct the calling code is in, if it was opened at this team level.
Open* current() { return !open.empty() && open.back().level == omp_get_level() ? &open.back() : nullptr; }

template <typename Function>
Function libgomp(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void close(const char* name) {
    Open* here = current();
    if (!here || here->libgomp) libgomp<void (*)()>(name)();
    if (here) open.pop_back();
}

}  // namespace

extern "C" {

void GOMP_parallel_sections(void (*fn)(void*), void* data, unsigned /*threads*/, unsigned count, unsigned /*flags*/) {
    // The region's body takes its sections with GOMP_sections_next and closes them with
    // GOMP_sections_end_nowait; whatever it leaves open is closed here.
    const std::size_t depth = open.size();
    const int outer = inlineLevel;
    inlineLevel = omp_get_level();
    open.push_back({inlineLevel, false, 1, count});
    regions.fetch_add(1, std::memory_order_relaxed);
    fn(data);
    open.resize(depth);
    inlineLevel = outer;
}

unsigned GOMP_sections_start(unsigned count) {
    if (shared()) {
        static const auto start = libgomp<unsigned (*)(unsigned)>("GOMP_sections_start");
        open.push_back({omp_get_level(), true});
        return start(count);
    }
    open.push_back({omp_get_level(), false, 1, count});
    return open.back().take();
}

unsigned GOMP_sections_next() {
    Open* here = current();
    if (!here || here->libgomp) {
        static const auto next = libgomp<unsigned (*)()>("GOMP_sections_next");
        return next();
    }
    return here->take();
}

void GOMP_sections_end() { close("GOMP_sections_end"); }

void GOMP_sections_end_nowait() { close("GOMP_sections_end_nowait"); }

}  // extern "C"

namespace linuxplatform::inlinesections {

bool bound() { return dlsym(RTLD_DEFAULT, "GOMP_parallel_sections") == reinterpret_cast<void*>(&GOMP_parallel_sections); }

std::uint64_t regionsRun() { return regions.load(std::memory_order_relaxed); }

}  // namespace linuxplatform::inlinesections
