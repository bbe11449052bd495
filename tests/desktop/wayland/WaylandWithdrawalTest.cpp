// On, off and on again in one run on a sway session, where the keys come from AT-SPI: after the
// switches are off the registry holds none of the agent's listeners, keystrokes included, no text
// of any kind goes out, and application switches are still counted. On again, reading resumes.
#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/Sway.h"
#include "desktop/wayland/WaylandClient.h"

namespace {

using desktop::Agent;
using desktop::Client;
using desktop::Json;
using desktop::Seconds;
using desktop::TestBackend;

// Both switches flipped from the keyboard in the privacy window. The window is opened the first
// time through the window a second launch shows (there is no status area here): its privacy
// button is the last but one, reached from the first backwards.
void flipBothSwitches(Agent& agent) {
    auto privacy = desktop::waitForSwayWindow("^Wellspire Privacy", Seconds(0.5));
    if (!privacy) {
        agent.launchAgain({});
        auto status = desktop::waitForSwayWindow("^Wellspire Agent$", Seconds(10));
        ASSERT_TRUE(status) << "a second launch opened no window";
        ASSERT_TRUE(desktop::swayFocus(*status));
        desktop::wtypeChord("shift", "Tab");
        desktop::wtypeChord("shift", "Tab");
        desktop::wtypeKeys({"space"});
        privacy = desktop::waitForSwayWindow("^Wellspire Privacy", Seconds(10));
    }
    ASSERT_TRUE(privacy) << "the privacy window did not open";
    ASSERT_TRUE(desktop::swayFocus(*privacy));
    // Xwayland takes no mnemonic from the virtual keyboard: the window opens on its first switch,
    // the second is the next stop; the focus goes back to the first for the next time.
    desktop::wtypeKeys({"space", "Tab", "space"});
    desktop::wtypeChord("shift", "Tab");
    desktop::settle(Seconds(1.5));
}

TEST(WaylandWithdrawal, OnOffOnInOneRun) {
    TestBackend backend;
    backend.reply("/api/agent_prefs", {{"track_app_usage", true}});
    Agent agent(backend.base());
    desktop::skipReachHint(agent);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20))) << desktop::logTail(agent);
    Client writing(desktop::gtkProbe({"--title", "Writing wayland probe", "--entries"}), desktop::kGtkWayland);
    Client other(desktop::gtkProbe({"--title", "Other wayland probe", "--wmclass", "WsOther"}), desktop::kGtkWayland);
    auto field = desktop::waitForSwayWindow("^Writing wayland probe$", Seconds(20));
    auto elsewhere = desktop::waitForSwayWindow("^Other wayland probe$", Seconds(20));
    ASSERT_TRUE(field && elsewhere);

    ASSERT_TRUE(desktop::swayFocus(*field));
    desktop::wtype("read while I agree to it", 25);
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(15))) << desktop::logTail(agent);
    const auto on = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(on);
    EXPECT_GT(on->keystrokeListeners, 0) << "no keystroke listener while on";

    flipBothSwitches(agent);
    const auto off = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(off);
    EXPECT_TRUE(off->events.empty()) << "still registered: " << Json(off->events).dump();
    EXPECT_EQ(off->keystrokeListeners, 0);
    const std::size_t monitorPosts = backend.count("/api/monitor");
    const std::size_t scans = backend.count("/api/scan");

    // Typed and switched away from while off: no text goes out, the switch is counted.
    const std::size_t usage = backend.count("/api/app_usage/log");
    ASSERT_TRUE(desktop::swayFocus(*field));
    desktop::wtype(" this must never leave the computer", 25);
    ASSERT_TRUE(desktop::swayFocus(*elsewhere));
    desktop::settle(Seconds(3));
    ASSERT_TRUE(desktop::swayFocus(*field));
    ASSERT_TRUE(backend.waitFor("/api/app_usage/log", usage + 1, Seconds(65)));
    const Json apps = backend.requests("/api/app_usage/log").back().json()["apps"];
    EXPECT_TRUE(apps.contains("WsOther") || apps.contains("wsother")) << apps.dump();
    EXPECT_EQ(backend.count("/api/monitor"), monitorPosts);
    EXPECT_EQ(backend.count("/api/scan"), scans);
    for (const auto& path : {"/api/monitor", "/api/scan"})
        for (const auto& r : backend.requests(path)) EXPECT_EQ(r.body.find("never leave"), std::string::npos) << path;

    // On again: reading resumes.
    flipBothSwitches(agent);
    const auto again = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(again);
    EXPECT_GT(again->keystrokeListeners, 0);
    ASSERT_TRUE(desktop::swayFocus(*field));
    desktop::wtype(" and read again", 25);
    EXPECT_TRUE(backend.waitFor("/api/monitor", monitorPosts + 1, Seconds(15))) << desktop::logTail(agent);
}

}  // namespace
