// The real agent reading a real desktop: typed text, screen text, switches and delete keys reach
// a loopback backend.
#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"

namespace {

using desktop::Agent;
using desktop::Seconds;
using desktop::TestBackend;

class AgentSignalsTest : public ::testing::Test {
protected:
    // The agent with monitoring on: the session's accessibility bus is on or switched on at launch.
    void startAgent() {
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));
    }
    TestBackend backend;
    Agent agent{backend.base()};
};

TEST_F(AgentSignalsTest, SettledTypedTextIsPostedOnceTrimmedAndPasswordsNever) {
    desktop::ProbeWindow probe({"--title", "Typing probe", "--entries", "--position", "100,300"});
    ASSERT_TRUE(probe.waitShown("Typing probe"));
    startAgent();
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("type --delay 30 '   I have had a long week honestly   '");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(10)));
    desktop::settle(Seconds(4));  // later ticks read the same text
    auto posts = backend.requests("/api/monitor");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].json(), (desktop::Json{{"text", "I have had a long week honestly"}}));

    desktop::xdotool("key Tab");
    desktop::xdotool("type --delay 30 'hunter2 correct horse battery'");
    desktop::settle(Seconds(5));
    for (const auto& path : {"/api/monitor", "/api/scan"})
        for (const auto& r : backend.requests(path)) EXPECT_EQ(r.body.find("hunter2"), std::string::npos) << path;
    EXPECT_EQ(backend.count("/api/monitor"), 1u);
}

TEST_F(AgentSignalsTest, LargeScreenTextReachesTheScan) {
    desktop::ProbeWindow probe(
        {"--title", "Reading probe", "--label", "Lantern harbor morning", "--size", "900x300", "--position", "80,200"});
    ASSERT_TRUE(probe.waitShown("Reading probe"));
    startAgent();
    ASSERT_TRUE(probe.activate());
    const bool read = desktop::waitUntil(
        [&] {
            for (const auto& r : backend.requests("/api/scan"))
                if (r.body.find("Lantern harbor morning") != std::string::npos) return true;
            return false;
        },
        Seconds(20));
    EXPECT_TRUE(read);
    EXPECT_TRUE(agent.waitForLog("OCR captured ", Seconds(1)));
}

TEST_F(AgentSignalsTest, BehaviourReportCountsSwitchesAndOnlyDeleteKeysAsDeletes) {
    desktop::ProbeWindow first({"--title", "Probe one", "--entries", "--position", "60,300"});
    desktop::ProbeWindow second({"--title", "Probe two", "--entries", "--position", "700,300"});
    ASSERT_TRUE(first.waitShown("Probe one"));
    ASSERT_TRUE(second.waitShown("Probe two"));
    startAgent();
    ASSERT_TRUE(first.activate());
    ASSERT_TRUE(second.activate());
    ASSERT_TRUE(first.activate());
    desktop::xdotool("key backslash backslash backslash BackSpace");
    // The first report comes 45 s after monitoring starts.
    ASSERT_TRUE(backend.waitFor("/api/behavioral/log", 1, Seconds(60)));
    const auto report = backend.requests("/api/behavioral/log").front().json();
    EXPECT_GT(report["tab_switches"].get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(report["backspace_rate"].get<double>(), 0.25);
    EXPECT_GT(report["active_minutes"].get<double>(), 0.7);
}

}  // namespace
