// A locked X11 screen stops every read: while the X server's screen saver is held on (as a locker
// holds it), a field that changes is not read or posted and the screen is not captured; once it is
// off, reading resumes. The field is changed through its accessible interface, since any input
// event would end the screen saver.
#include <gtest/gtest.h>

#include <cstdio>

#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"

namespace {

using desktop::Agent;
using desktop::Json;
using desktop::Seconds;
using desktop::TestBackend;

// The X server's screen saver, on for as long as this lives.
class HeldScreenSaver {
public:
    HeldScreenSaver()
        : in_(::popen(("/usr/bin/python3 " + desktop::sourceDir() +
                       "/tests/desktop/lock_standin.py --kind x-screensaver >/dev/null")
                          .c_str(),
                      "w")) {
        if (in_) std::fputs("lock\n", in_), std::fflush(in_);
    }
    ~HeldScreenSaver() { release(); }
    void release() {
        if (in_) ::pclose(in_);
        in_ = nullptr;
    }

private:
    FILE* in_;
};

std::size_t captures(const Agent& agent) {
    std::size_t n = 0;
    for (const auto& line : agent.log()) n += line.find("OCR captured") != std::string::npos;
    return n;
}

bool setFocusedText(int pid, const std::string& text) {
    int status = -1;
    desktop::sh("/usr/bin/python3 " + desktop::sourceDir() + "/tests/desktop/atspi_set_text.py " + std::to_string(pid) +
                    " " + desktop::shellQuote(text),
                &status);
    return status == 0;
}

TEST(LockedScreenTest, NothingIsReadWhileTheScreenSaverIsOnAndReadingResumesAfter) {
    TestBackend backend;
    desktop::ProbeWindow probe(
        {"--title", "Lock probe", "--entries", "--label", "Words on the screen", "--position", "60,300"});
    ASSERT_TRUE(probe.waitShown("Lock probe"));
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("type --delay 25 'read while unlocked'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(10)));
    ASSERT_TRUE(agent.waitForLog("OCR captured", Seconds(10)));

    std::size_t monitorPosts = 0;
    {
        HeldScreenSaver saver;
        ASSERT_TRUE(agent.waitForLog("LOCK locked=true", Seconds(5)));
        desktop::settle(Seconds(2));  // a capture already on its way when the screen locked ends
        const std::size_t captured = captures(agent);
        monitorPosts = backend.count("/api/monitor");
        const std::size_t scans = backend.count("/api/scan");

        ASSERT_TRUE(setFocusedText(probe.pid(), "this must never leave a locked screen"));
        desktop::settle(Seconds(6));  // four ticks
        EXPECT_EQ(backend.count("/api/monitor"), monitorPosts) << "a field was read on a locked screen";
        EXPECT_EQ(backend.count("/api/scan"), scans);
        EXPECT_EQ(captures(agent), captured) << "the screen was captured while locked";
        // Gone again before the unlock, as a message sent.
        ASSERT_TRUE(setFocusedText(probe.pid(), ""));
        desktop::settle(Seconds(1.5));
    }
    ASSERT_TRUE(agent.waitForLog("LOCK locked=false", Seconds(5)));

    // Unlocked: typing is read, and the screen captured, again.
    const std::size_t captured = captures(agent);
    desktop::xdotool("type --delay 25 'read again after the unlock'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", monitorPosts + 1, Seconds(15)));
    EXPECT_EQ(backend.requests("/api/monitor").back().json(), (Json{{"text", "read again after the unlock"}}));
    EXPECT_TRUE(desktop::waitUntil([&] { return captures(agent) > captured; }, Seconds(10)));
    for (const auto& path : {"/api/monitor", "/api/scan"})
        for (const auto& r : backend.requests(path)) EXPECT_EQ(r.body.find("never leave"), std::string::npos) << path;
}

}  // namespace
