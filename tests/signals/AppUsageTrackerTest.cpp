#include "signals/AppUsageTracker.h"

#include "SignalsFixture.h"

namespace {

using Json = nlohmann::json;
using platform::RunningApplication;

class AppUsageTrackerTest : public SignalsFixture {
protected:
    void SetUp() override {
        SignalsFixture::SetUp();
        sim.workspace().frontmost = RunningApplication{"org.example.editor", 50, "Editor"};
        tracker = AppUsageTracker::create();
        sim.http().setResponder([this](const platform::HttpRequest& r) -> std::optional<sim::SimReply> {
            if (r.url == std::string(kBase) + "/api/agent_prefs") return sim::jsonReply(prefs, 200, 0.05);
            return std::nullopt;
        });
    }
    void turnOn() {
        prefs = Json{{"track_app_usage", true}};
        tracker->start();
        sim.advance(0.1);
        ASSERT_TRUE(tracker->isEnabled());
    }
    Json prefs = Json{{"track_app_usage", true}};
    std::shared_ptr<AppUsageTracker> tracker;
};

TEST_F(AppUsageTrackerTest, StartAsksAtOnceAndAppliesTheAnswerOnTheMainThread) {
    tracker->start();
    ASSERT_EQ(posts("/api/agent_prefs"), 1u);
    EXPECT_EQ(sim.http().requests()[0].request.method, "GET");
    EXPECT_FALSE(tracker->isEnabled());
    sim.advance(0.05);
    EXPECT_TRUE(tracker->isEnabled());
    EXPECT_EQ(tracker->current(), "Editor");
    sim.advance(60);
    EXPECT_EQ(posts("/api/agent_prefs"), 2u);
}

TEST_F(AppUsageTrackerTest, ReportsAMinuteForTheFrontAppAndMeasuresFromTheLastReport) {
    turnOn();  // at 0.1 s; the span starts when the answer is applied (0.05 s)
    sim.advance(59.9);  // the refresh at 60 s answers true again: nothing changes
    ASSERT_EQ(posts("/api/app_usage/log"), 1u);
    EXPECT_NEAR(lastBody("/api/app_usage/log")["apps"]["Editor"].get<double>(), 59.95, 1e-6);
    sim.advance(20);
    sim.workspace().activate(RunningApplication{"org.example.other", 60, "Browser"});
    sim.advance(40);
    const Json apps = lastBody("/api/app_usage/log")["apps"];
    EXPECT_NEAR(apps["Editor"].get<double>(), 20.0, 1e-6);
    EXPECT_NEAR(apps["Browser"].get<double>(), 40.0, 1e-6);
}

TEST_F(AppUsageTrackerTest, SameDisplayNameSharesATotalAndNamelessAppsAccrueNothing) {
    turnOn();
    sim.advance(10);
    sim.workspace().activate(RunningApplication{"com.other.editor", 70, "Editor"});
    sim.advance(10);
    sim.workspace().activate(RunningApplication{"x", 80, std::nullopt});
    sim.advance(40);
    const Json apps = lastBody("/api/app_usage/log")["apps"];
    EXPECT_EQ(apps.size(), 1u);
    EXPECT_NEAR(apps["Editor"].get<double>(), 20.05, 1e-6);
    sim.advance(60);  // nothing accrued: no request
    EXPECT_EQ(posts("/api/app_usage/log"), 1u);
}

TEST_F(AppUsageTrackerTest, OneCountsAsTrueAndZeroAsFalse) {
    prefs = Json{{"track_app_usage", 1}};
    tracker->start();
    sim.advance(0.1);
    EXPECT_TRUE(tracker->isEnabled());
    prefs = Json{{"track_app_usage", 0}};
    tracker->refreshEnabled();
    sim.advance(0.1);
    EXPECT_FALSE(tracker->isEnabled());
}

TEST_F(AppUsageTrackerTest, AnythingButTrueSwitchesOffAndDropsTheTotals) {
    for (const Json& answer : {Json::object(), Json{{"track_app_usage", 2}}, Json{{"track_app_usage", "true"}}}) {
        turnOn();
        sim.advance(30);
        prefs = answer;
        tracker->refreshEnabled();
        sim.advance(0.1);
        EXPECT_FALSE(tracker->isEnabled()) << answer.dump();
        EXPECT_TRUE(tracker->totals().empty());
        EXPECT_FALSE(tracker->current());
        sim.workspace().activate(RunningApplication{"b", 2, "B"});
        EXPECT_TRUE(tracker->totals().empty());
        tracker = AppUsageTracker::create();
    }
    turnOn();
    sim.http().setResponder(nullptr);  // the backend stops answering: the refresh at 60 s times out
    sim.advance(68.5);
    EXPECT_FALSE(tracker->isEnabled());
    EXPECT_EQ(sim.workspace().activationObservers(), 0u);
    EXPECT_EQ(posts("/api/app_usage/log"), 1u);  // the report at 60 s came before
    sim.advance(120);
    EXPECT_EQ(posts("/api/app_usage/log"), 1u);
}

}  // namespace
