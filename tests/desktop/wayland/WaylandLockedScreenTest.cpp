// A locked sway session stops every read. Sway itself tells nobody (no logind session, no
// screensaver service here), so the desktop's screensaver interface is stood in for on the session
// bus, as KDE's answers: while it says locked nothing typed is posted, the screen is not captured
// and the agent holds no keystroke listener; unlocked, reading resumes.
#include <gtest/gtest.h>

#include <cstdio>

#include "desktop/DesktopHarness.h"
#include "desktop/Sway.h"
#include "desktop/wayland/WaylandClient.h"

namespace {

using desktop::Agent;
using desktop::Client;
using desktop::Seconds;
using desktop::TestBackend;

// org.freedesktop.ScreenSaver on the session bus, told to lock and unlock; gone with this object.
class ScreenSaverService {
public:
    ScreenSaverService()
        : in_(::popen(("/usr/bin/python3 " + desktop::sourceDir() +
                       "/tests/desktop/lock_standin.py --kind freedesktop >/dev/null")
                          .c_str(),
                      "w")) {}
    ~ScreenSaverService() {
        if (in_) ::pclose(in_);
    }
    void say(const char* word) {
        if (in_) std::fprintf(in_, "%s\n", word), std::fflush(in_);
    }

private:
    FILE* in_;
};

std::size_t captures(const Agent& agent) {
    std::size_t n = 0;
    for (const auto& line : agent.log()) n += line.find("OCR captured") != std::string::npos;
    return n;
}

TEST(WaylandLockedScreen, NothingIsReadWhileTheScreensaverSaysLockedAndReadingResumesAfter) {
    TestBackend backend;
    ScreenSaverService screensaver;
    Agent agent(backend.base());
    desktop::skipReachHint(agent);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20))) << desktop::logTail(agent);
    Client writing(desktop::gtkProbe({"--title", "Lock wayland probe", "--entries", "--label", "Words on the screen"}),
                   desktop::kGtkWayland);
    auto field = desktop::waitForSwayWindow("^Lock wayland probe$", Seconds(20));
    ASSERT_TRUE(field);
    ASSERT_TRUE(desktop::swayFocus(*field));
    desktop::wtype("read while unlocked", 25);
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(15))) << desktop::logTail(agent);

    screensaver.say("lock");
    ASSERT_TRUE(agent.waitForLog("LOCK locked=true", Seconds(5))) << desktop::logTail(agent);
    desktop::settle(Seconds(2));  // a capture already on its way when the screen locked ends
    const std::size_t captured = captures(agent);
    const std::size_t monitorPosts = backend.count("/api/monitor");
    const std::size_t scans = backend.count("/api/scan");
    const auto locked = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->keystrokeListeners, 0) << "keys were listened to on a locked screen";

    desktop::wtype(" this must never leave a locked screen", 25);
    desktop::settle(Seconds(6));  // four ticks
    EXPECT_EQ(backend.count("/api/monitor"), monitorPosts) << "a field was read on a locked screen";
    EXPECT_EQ(backend.count("/api/scan"), scans);
    EXPECT_EQ(captures(agent), captured) << "the screen was captured while locked";
    // Gone again before the unlock, as a message sent.
    int status = -1;
    desktop::sh("/usr/bin/python3 " + desktop::sourceDir() + "/tests/desktop/atspi_set_text.py " +
                    std::to_string(writing.pid()) + " ''",
                &status);
    ASSERT_EQ(status, 0);
    desktop::settle(Seconds(1.5));

    screensaver.say("unlock");
    ASSERT_TRUE(agent.waitForLog("LOCK locked=false", Seconds(5))) << desktop::logTail(agent);
    const auto unlocked = desktop::atspiRegistrationsOf(agent.pid());
    ASSERT_TRUE(unlocked);
    EXPECT_GT(unlocked->keystrokeListeners, 0);
    desktop::wtype("read again after the unlock", 25);
    ASSERT_TRUE(backend.waitFor("/api/monitor", monitorPosts + 1, Seconds(15))) << desktop::logTail(agent);
    EXPECT_EQ(backend.requests("/api/monitor").back().json(), (desktop::Json{{"text", "read again after the unlock"}}));
    for (const auto& path : {"/api/monitor", "/api/scan"})
        for (const auto& r : backend.requests(path)) EXPECT_EQ(r.body.find("never leave"), std::string::npos) << path;
}

}  // namespace
