#include "signals/Behavioral.h"

#include "SignalsFixture.h"

namespace {

using Json = nlohmann::json;

class BehavioralTest : public SignalsFixture {
protected:
    void SetUp() override {
        SignalsFixture::SetUp();
        behavioral = Behavioral::create();
        behavioral->start();
    }
    Json lastReport() { return lastBody("/api/behavioral/log"); }
    std::shared_ptr<Behavioral> behavioral;
};

TEST_F(BehavioralTest, FirstReportAfter45SecondsWithTheSixKeysAsDoubles) {
    sim.advance(44.9);
    EXPECT_EQ(posts("/api/behavioral/log"), 0u);
    sim.advance(0.1);
    ASSERT_EQ(posts("/api/behavioral/log"), 1u);
    const Json r = lastReport();
    EXPECT_EQ(r.size(), 6u);
    for (const char* key : {"tab_switches", "interruptions", "avg_session_min", "backspace_rate", "late_night_min",
                            "active_minutes"}) {
        ASSERT_TRUE(r.contains(key)) << key;
        EXPECT_TRUE(r[key].is_number_float()) << key;
    }
    EXPECT_EQ(r["tab_switches"], 0.0);
    EXPECT_EQ(r["interruptions"], 0.0);
    EXPECT_EQ(r["avg_session_min"], 50.0);
    EXPECT_EQ(r["backspace_rate"], 0.0);
    EXPECT_DOUBLE_EQ(r["active_minutes"].get<double>(), 0.75);
}

TEST_F(BehavioralTest, RateUsesElapsedHoursThenAQuarterHourCappedAt120) {
    sim.advance(10);
    sim.workspace().activate(platform::RunningApplication{"a", 1, "A"});
    sim.advance(35);
    // One switch in 45 s of run time: 80 per hour; the longest gap is the 10 s since creation.
    Json r = lastReport();
    EXPECT_DOUBLE_EQ(r["tab_switches"].get<double>(), 3600.0 / 45.0);
    EXPECT_DOUBLE_EQ(r["interruptions"].get<double>(), 0.7 * 3600.0 / 45.0);
    EXPECT_DOUBLE_EQ(r["avg_session_min"].get<double>(), 10.0 / 60.0);
    sim.workspace().activate(std::nullopt);  // t = 45, 35 s after the last switch
    sim.advance(45);
    r = lastReport();  // two switches in 90 s
    EXPECT_DOUBLE_EQ(r["tab_switches"].get<double>(), 80.0);
    EXPECT_DOUBLE_EQ(r["avg_session_min"].get<double>(), 35.0 / 60.0);
    sim.advance(45);  // switches in the window, none since the last report
    EXPECT_EQ(lastReport()["avg_session_min"], 0.0);
    for (int i = 0; i < 3; ++i) sim.workspace().activate(std::nullopt);
    sim.advance(45);  // five switches in 180 s would be 100 per hour
    EXPECT_DOUBLE_EQ(lastReport()["tab_switches"].get<double>(), 100.0);
    for (int i = 0; i < 3; ++i) sim.workspace().activate(std::nullopt);
    sim.advance(45);  // eight in 225 s: 128, capped
    r = lastReport();
    EXPECT_EQ(r["tab_switches"], 120.0);
    EXPECT_DOUBLE_EQ(r["interruptions"].get<double>(), 84.0);

    // From 900 s on, S × 4 per hour: only the switch at t = 910 s is inside the window at 1800 s.
    sim.advance(910 - 225);
    sim.workspace().activate(std::nullopt);
    sim.advance(1800 - 910);
    EXPECT_EQ(sim.elapsed(), 1800);
    EXPECT_DOUBLE_EQ(lastReport()["tab_switches"].get<double>(), 4.0);
}

TEST_F(BehavioralTest, EntryExactlyAtTheCutoffStays) {
    std::deque<platform::TimePoint> times;
    const auto t0 = sim.now();
    times = {platform::addSeconds(t0, -1), t0, platform::addSeconds(t0, 1)};
    Behavioral::trim(times, t0);
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times.front(), t0);
}

TEST_F(BehavioralTest, BackspaceRateCountsBothDeleteKeysOnly) {
    for (int i = 0; i < 30; ++i) sim.workspace().keyDown(i % 2 ? 0 : 12);
    for (int i = 0; i < 5; ++i) sim.workspace().keyDown(51);
    for (int i = 0; i < 5; ++i) sim.workspace().keyDown(117);
    sim.advance(45);
    EXPECT_DOUBLE_EQ(lastReport()["backspace_rate"].get<double>(), 0.25);
}

TEST_F(BehavioralTest, WallClockSetBackDividesByTheLeastHours) {
    sim.workspace().activate(std::nullopt);
    sim.setWallClock(platform::addSeconds(sim.now(), -100));
    behavioral->report();
    // 1 switch / 0.01 h = 100 per hour
    EXPECT_DOUBLE_EQ(lastReport()["tab_switches"].get<double>(), 100.0);
}

TEST(BehavioralLateNightTest, IntervalsEndingInHoursZeroToFourCountInLocalTime) {
    // 04:59:50 local time in UTC+2.
    sim::SimPlatform sim(sim::SimPlatform::at(2026, 12, 7, 2, 59, 50));
    sim.clock().utcOffsetSeconds = 2 * 3600;
    Config::resetForTesting("https://p.test", "https://f.test");
    Config::setBackend("https://backend.test");
    auto behavioral = Behavioral::create();
    behavioral->start();
    sim.advance(10);  // ticks at :52 ... 05:00:00 — the last one does not count
    const Json r = behavioral->report();
    EXPECT_DOUBLE_EQ(r["late_night_min"].get<double>(), 8.0 / 60.0);
    sim.advance(60);
    EXPECT_DOUBLE_EQ(behavioral->report()["late_night_min"].get<double>(), 8.0 / 60.0);
}

TEST(BehavioralLateNightTest, FirstTickCountsEverythingSinceCreation) {
    sim::SimPlatform sim(sim::SimPlatform::at(2026, 12, 7, 3, 0, 0));
    Config::resetForTesting("https://p.test", "https://f.test");
    auto behavioral = Behavioral::create();
    sim.advance(20);  // not started yet
    behavioral->start();
    sim.advance(2);
    EXPECT_DOUBLE_EQ(behavioral->report()["late_night_min"].get<double>(), 22.0 / 60.0);
}

}  // namespace
