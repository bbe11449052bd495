// On, off and on again in one run, as a user changes their mind. After the switches are off nothing
// the user types reaches the agent at all: the accessibility registry holds none of its listeners,
// and typing makes it read nothing more than when idle (the X server sends it no keys). No text of
// any kind goes out, yet application switches are still counted. Switched on again, reading resumes.
#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"

namespace {

using desktop::Agent;
using desktop::Json;
using desktop::Seconds;
using desktop::TestBackend;

void inPrivacyWindow(const std::string& keys) {
    auto window = desktop::waitForWindow("^Wellspire Privacy$", Seconds(10));
    ASSERT_TRUE(window) << "the privacy window is not open";
    desktop::xdotool("windowactivate --sync " + *window);
    desktop::settle(Seconds(0.3));
    desktop::xdotool("key --delay 200 " + keys);
    desktop::settle(Seconds(0.5));
}

void openPrivacyWindow() {
    ASSERT_TRUE(desktop::openStatusMenu()) << "no status icon in the tray";
    desktop::settle(Seconds(0.5));
    desktop::xdotool("key Up Up Return");
    ASSERT_TRUE(desktop::waitForWindow("^Wellspire Privacy$", Seconds(5)));
}

TEST(WithdrawalTest, OnOffOnInOneRun) {
    desktop::ensureTrayHost();
    TestBackend backend;
    backend.reply("/api/agent_prefs", {{"track_app_usage", true}});
    desktop::ProbeWindow first({"--title", "Writing probe", "--entries", "--position", "60,300"});
    desktop::ProbeWindow second({"--title", "Other probe", "--wmclass", "WsOther", "--position", "700,300"});
    ASSERT_TRUE(first.waitShown("Writing probe"));
    ASSERT_TRUE(second.waitShown("Other probe"));
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));

    // On: the field is read, the screen captured.
    ASSERT_TRUE(first.activate());
    desktop::xdotool("type --delay 25 'read while I agree to it'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(10)));
    ASSERT_TRUE(agent.waitForLog("OCR captured", Seconds(10)));
    const auto on = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(on);
    EXPECT_FALSE(on->events.empty()) << "the agent listens to no focus event while on";

    // Off.
    openPrivacyWindow();
    inPrivacyWindow("alt+t alt+s");
    desktop::xdotool("key Escape");
    desktop::settle(Seconds(1.5));  // a tick
    const std::size_t monitorPosts = backend.count("/api/monitor");
    const std::size_t scans = backend.count("/api/scan");

    const auto off = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(off);
    EXPECT_TRUE(off->events.empty()) << "still registered: " << Json(off->events).dump();
    EXPECT_EQ(off->keystrokeListeners, 0);

    // Typing makes the agent read no more than sitting idle does: no key reaches it.
    ASSERT_TRUE(first.activate());
    desktop::xdotool("key ctrl+a");
    long before = desktop::readCalls(agent.pid());
    desktop::settle(Seconds(5));
    const long idle = desktop::readCalls(agent.pid()) - before;
    before = desktop::readCalls(agent.pid());
    desktop::xdotool("type --delay 30 'this must never leave the computer, not even as key timing'");
    desktop::xdotool("key BackSpace BackSpace BackSpace");
    const long typing = desktop::readCalls(agent.pid()) - before;
    EXPECT_LT(typing - idle, 20) << "the agent read " << typing << " times while the user typed, " << idle
                                 << " times while idle";

    // Application switches are still counted: time in the other application, first shown while
    // the switches are off, reaches the next usage report.
    const std::size_t usage = backend.count("/api/app_usage/log");
    ASSERT_TRUE(second.activate());
    desktop::settle(Seconds(3));
    ASSERT_TRUE(first.activate());
    ASSERT_TRUE(backend.waitFor("/api/app_usage/log", usage + 1, Seconds(65)));
    const Json apps = backend.requests("/api/app_usage/log").back().json()["apps"];
    ASSERT_TRUE(apps.contains("WsOther")) << apps.dump();
    EXPECT_GE(apps["WsOther"].get<double>(), 2.5) << apps.dump();

    EXPECT_EQ(backend.count("/api/monitor"), monitorPosts);
    EXPECT_EQ(backend.count("/api/scan"), scans);
    for (const auto& path : {"/api/monitor", "/api/scan"})
        for (const auto& r : backend.requests(path)) EXPECT_EQ(r.body.find("never leave"), std::string::npos) << path;

    // On again: reading resumes.
    openPrivacyWindow();
    inPrivacyWindow("alt+t alt+s");
    desktop::xdotool("key Escape");
    ASSERT_TRUE(first.activate());
    desktop::xdotool("key Tab Tab");
    desktop::xdotool("type --delay 25 'read again once I agree again'");
    EXPECT_TRUE(backend.waitFor("/api/monitor", monitorPosts + 1, Seconds(15)));
    EXPECT_EQ(backend.requests("/api/monitor").back().json(), (Json{{"text", "read again once I agree again"}}));
    const auto again = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->events.empty());
}

}  // namespace
