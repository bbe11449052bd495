#include <gtest/gtest.h>

#include "sim/SimPlatform.h"

using sim::SimPlatform;

TEST(SimPlatform, TimersFireInTimeOrderAndPostsRunInCallOrder) {
    SimPlatform sim;
    std::vector<std::string> events;
    auto& loop = platform::mainLoop();
    loop.scheduleRepeating(1.5, [&] { events.push_back("a@" + std::to_string(sim.elapsed())); });
    loop.scheduleRepeating(1.0, [&] {
        events.push_back("b@" + std::to_string(sim.elapsed()));
        loop.post([&] { events.push_back("posted1"); });
        loop.post([&] { events.push_back("posted2"); });
    });
    sim.advance(3.0);
    const std::vector<std::string> want = {"b@1.000000", "posted1", "posted2", "a@1.500000", "b@2.000000",
                                           "posted1",    "posted2", "a@3.000000", "b@3.000000", "posted1", "posted2"};
    EXPECT_EQ(events, want);
}

TEST(SimPlatform, AnHourOfTimersRunsOnTheVirtualClock) {
    SimPlatform sim;
    int ticks = 0;
    platform::mainLoop().scheduleRepeating(1.2, [&] { ++ticks; });
    const auto before = std::chrono::steady_clock::now();
    sim.advance(3600);
    EXPECT_EQ(ticks, 3000);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_DOUBLE_EQ(sim.elapsed(), 3600);
}

TEST(SimPlatform, RequestsAreAnsweredOnTheCallbackQueueOrTimeOut) {
    SimPlatform sim;
    std::vector<std::string> got;
    auto send = [&](const std::string& url) {
        platform::HttpRequest r;
        r.url = url;
        r.timeoutSeconds = 8;
        platform::get().http->send(r, [&, url](platform::HttpResponse resp) {
            EXPECT_TRUE(platform::get().http->isCallbackQueue());
            EXPECT_FALSE(platform::mainLoop().isMainThread());
            got.push_back(url + ":" + std::to_string(resp.status) + ":" + resp.body.value_or("<none>"));
        });
    };
    send("http://a/1");
    send("http://a/2");
    sim.http().answerJson(1, {{"k", 1}});
    EXPECT_EQ(got, std::vector<std::string>{"http://a/2:200:{\"k\":1}"});
    sim.advance(7.9);
    EXPECT_EQ(got.size(), 1u);
    sim.advance(0.2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], "http://a/1:0:<none>");
    // A late answer after the timeout changes nothing.
    sim.http().answerJson(0, {{"late", true}});
    EXPECT_EQ(got.size(), 2u);
}

TEST(SimPlatform, BlockingWaitLetsOnlyRepliesThrough) {
    SimPlatform sim;
    int timerFired = 0;
    platform::mainLoop().scheduleRepeating(1.0, [&] { ++timerFired; });
    sim.http().setResponder([](const platform::HttpRequest&) { return sim::jsonReply({}, 200, 3.0); });
    auto sem = platform::get().semaphores->make();
    platform::HttpRequest r;
    r.url = "http://x";
    r.timeoutSeconds = 8;
    platform::get().http->send(r, [sem](platform::HttpResponse) { sem->signal(); });
    EXPECT_TRUE(sem->wait(5.0));
    EXPECT_DOUBLE_EQ(sim.elapsed(), 3.0);
    EXPECT_EQ(timerFired, 0);
    EXPECT_FALSE(sem->wait(1.0));
    EXPECT_DOUBLE_EQ(sim.elapsed(), 4.0);
}

TEST(Clock, DistantPastIsBeforeAnyReadingAndSafeToMeasureFrom) {
    const auto past = platform::Clock::distantPast();
    const auto now = sim::SimPlatform::at(2026, 12, 7, 12, 0, 0);
    EXPECT_LT(past, sim::SimPlatform::at(1970, 1, 1, 0, 0, 0));
    // About 126 years; an overflowed difference would be negative or tiny.
    EXPECT_NEAR(platform::secondsBetween(past, now) / (365.25 * 86400), 125.9, 0.1);
    EXPECT_LT(platform::addSeconds(past, 40), now);
}
