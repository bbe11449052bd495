#pragma once
// Nice values and SCHED_BATCH weigh the reading thread only against threads of its own session:
// the kernel schedules each session (or cgroup) as a group, and balances the groups across the
// processors, so beside a build started from a terminal the reader may get a processor to itself
// while the build's threads share the other. So the reader keeps its own pace: after each piece of
// work it asks the kernel how long it ran and whether the machine's threads waited for a processor
// meanwhile, and where they did, it pauses until it has taken no more than it is `allowed`. On a
// machine with a processor to spare it never pauses.
#include <chrono>
#include <optional>

namespace linuxplatform {

class ReadingPace {
public:
    using Clock = std::chrono::steady_clock;
    using Nanoseconds = std::chrono::nanoseconds;

    // Where the machine's contention is read from: the kernel's CPU pressure (the time some
    // runnable thread waited), or where the kernel keeps none, the count of runnable threads
    // against the processors, taken at each sample.
    enum class Source { pressure, runnable };
    explicit ReadingPace(Source source = Source::pressure);

    // The calling thread's time on a processor, and the time threads on the machine waited for one
    // (for each processor's worth of them), each since some fixed moment.
    struct Times {
        Nanoseconds ran{};
        Nanoseconds contended{};
    };
    std::optional<Times> sample(Clock::time_point at);

    // Of one processor, while others want it: a frame's reading starts at `share`, and the longer
    // it takes, the faster its share grows. A small change then costs a build little, and is read
    // in seconds; a new 1920×1053 screen (2.5–3 s of a processor under load) is read in about 20 s,
    // so that with the capture tick and a reading under way before it, it is judged within half a
    // minute.
    static constexpr double share = 0.015;
    static constexpr double sharePerSecondSquared = 0.00087;
    // What a frame may have taken of a processor after so long contended.
    static double allowed(double seconds) {
        return share * seconds + sharePerSecondSquared * seconds * seconds * seconds / 3;
    }
    // How long contended a frame must have been to be allowed what it ran.
    static double due(double ran);
    // Threads waited, half a processor's worth of them on average: the machine has no processor
    // to spare. A desktop's own moments of work (a window drawn, a program started) stay below.
    static constexpr double contended = 0.5;
    // How fast past contention stops counting, so that one busy moment is none.
    static constexpr Nanoseconds halfLife = std::chrono::milliseconds(250);

    // A frame's work begins: time spent idle before it is no credit.
    void begin(Times now, Clock::time_point at);
    // After a piece of the frame's work: the pause to take before the next. Short and often: after
    // a long run of the reader, the scheduler leaves a processor idle for a while before it hands
    // it to a waiting thread again.
    Nanoseconds pauseAfter(Times now, Clock::time_point at);

private:
    double account(Times now, Clock::time_point at);  // what the frame owes, in seconds
    Nanoseconds settled(double debt, Clock::time_point at);  // the debt, as a pause to be taken

    Source source_;
    Nanoseconds runnableContended_{};  // the runnable count's sum
    Clock::time_point sampledAt_{};

    Times last_;
    Clock::time_point lastAt_;
    double frameRan_ = 0;  // seconds, of the frame's contended time
    double frameTook_ = 0;
    double due_ = 0;  // when, in the frame's contended time, what it ran is allowed
    double recentWall_ = 0;  // decayed sums, in nanoseconds
    double recentContended_ = 0;
};

}  // namespace linuxplatform
