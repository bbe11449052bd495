#include "platform/linux/recognition/ReadingPace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using linuxplatform::ReadingPace;
using namespace std::chrono_literals;

namespace {

struct Paced {
    std::chrono::nanoseconds ran{}, took{}, paused{};
    double seconds(std::chrono::nanoseconds d) const { return std::chrono::duration<double>(d).count(); }
    // What it ran against what it was allowed in the time it took.
    double share() const { return seconds(ran) / ReadingPace::allowed(seconds(took)); }
};

// A reader doing pieces of work that take `cost` of a processor each. While pieces [from, to) run,
// the machine has none to spare: some thread always waits, and the reader is given `given` of the
// time. Before and after, a wakeup now and then waits a little.
Paced simulate(int pieces, std::chrono::nanoseconds cost, double given, int from = 0, int to = 1 << 30) {
    ReadingPace pace;
    ReadingPace::Times times{};
    auto at = ReadingPace::Clock::time_point{} + 1h;
    const auto start = at;
    pace.begin(times, at);
    Paced run;
    for (int i = 0; i < pieces; ++i) {
        const bool busy = i >= from && i < to;
        const auto wall = busy ? std::chrono::nanoseconds(static_cast<long>(static_cast<double>(cost.count()) / given)) : cost + 100us;
        times.ran += cost;
        times.contended += busy ? wall : 100us;
        at += wall;
        const auto pause = pace.pauseAfter(times, at);
        EXPECT_GE(pause.count(), 0);
        at += pause;
        run.paused += pause;
    }
    run.ran = times.ran;
    run.took = at - start;
    return run;
}

}  // namespace

TEST(ReadingPaceTest, AReaderOnABusyMachineKeepsToItsShareAndOnOneWithAProcessorToSpareNeverPauses) {
    // A processor of its own while others wait (the scheduler balanced sessions), or half of one:
    // either way it takes what it is allowed, not more and not much less. Given a tenth, it never
    // takes more.
    for (const double given : {1.0, 0.5, 0.1}) {
        const Paced contended = simulate(200, 30ms, given);
        EXPECT_LE(contended.share(), 1.001) << given;
        if (given >= 0.5) {
            EXPECT_GE(contended.share(), 0.95) << given;
        }
    }
    // A small change takes about a fortieth of a processor, and a new screen is read in about 20 s,
    // leaving room for the capture tick and a reading under way before it.
    const Paced small = simulate(5, 30ms, 0.5), screen = simulate(100, 30ms, 0.5);
    EXPECT_LT(small.seconds(small.ran) / small.seconds(small.took), 0.03);
    EXPECT_LT(screen.took, 23s);
    EXPECT_GT(screen.took, 18s);

    EXPECT_EQ(simulate(200, 30ms, 1.0, 0, 0).paused.count(), 0);
    // One busy moment in a long frame is no contention; a busy spell that lasts is, and only while
    // it lasts.
    EXPECT_EQ(simulate(100, 30ms, 0.5, 50, 51).paused.count(), 0);
    const auto spell = simulate(100, 30ms, 0.5, 50, 70).paused, alone = simulate(20, 30ms, 0.5).paused;
    EXPECT_GT(spell, alone / 2);
    EXPECT_LE(spell, alone);
}

TEST(ReadingPaceTest, TimeIdleBeforeAFrameIsNoCreditAndTheMachinesContentionIsRead) {
    ReadingPace pace;
    const auto at = ReadingPace::Clock::time_point{} + 1h;
    pace.begin({1s, 1s}, at);
    pace.begin({1s, 1s}, at + 10s);  // the next frame, ten idle seconds later
    const std::chrono::duration<double> pause = pace.pauseAfter({1s + 40ms, 1s + 80ms}, at + 10s + 80ms);
    EXPECT_NEAR(ReadingPace::allowed(0.080 + pause.count()), 0.040, 1e-6);

    // More threads spinning than there are processors: some thread waits nearly all the time, by
    // the kernel's pressure count and by the count of runnable threads alike.
    for (const auto source : {ReadingPace::Source::pressure, ReadingPace::Source::runnable}) {
        ReadingPace machine(source);
        std::atomic<bool> done = false;
        std::vector<std::jthread> spinning;
        for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i)
            spinning.emplace_back([&] {
                while (!done) {
                }
            });
        const auto start = ReadingPace::Clock::now();
        const auto first = machine.sample(start);
        ASSERT_TRUE(first);
        auto now = start, sampled = start;
        std::optional<ReadingPace::Times> last;
        // A sample after each piece of work, as the reader takes them.
        while ((now = ReadingPace::Clock::now()) - start < 300ms)
            if (now - sampled >= 10ms) last = machine.sample(sampled = now);
        done = true;
        ASSERT_TRUE(last);
        EXPECT_GT(last->ran - first->ran, 10ms);
        EXPECT_GT(last->contended - first->contended, (now - start) / 2) << static_cast<int>(source);
    }
}
