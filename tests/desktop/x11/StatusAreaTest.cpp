// Reaching the agent on any desktop: a status area that appears after the agent (as at login) shows
// the emblem; without one, the agent says once how to reach it, and opening it again shows its window.
#include <sstream>

#include <gtest/gtest.h>

#include <QImage>

#include "desktop/DesktopHarness.h"

namespace {

using desktop::Agent;
using desktop::Seconds;

// The status-area host of this display only.
void stopTrayHost() {
    desktop::sh("for p in $(pgrep -x trayer); do tr '\\0' '\\n' </proc/$p/environ | grep -qx \"DISPLAY=$DISPLAY\" && "
                "kill $p; done; sleep 0.3");
}

void startTrayHost() {
    desktop::sh("(setsid trayer --edge top --align right --widthtype request --height 28 --SetDockType true "
                "--expand false >/dev/null 2>&1 &)");
}

// Share of the agent's tray icon (its small embedded window) drawn in the emblem's teal.
double emblemShare() {
    if (auto g = desktop::trayIcon(Seconds(0))) {
        if (!desktop::screenshot("/tmp/ws-status-area.png")) return 0;
        const QImage shot("/tmp/ws-status-area.png");
        int teal = 0;
        for (int y = g->y; y < g->y + g->height; ++y)
            for (int x = g->x; x < g->x + g->width; ++x) {
                const QColor c = shot.pixelColor(x, y);
                teal += std::abs(c.red() - 43) < 30 && std::abs(c.green() - 179) < 30 && std::abs(c.blue() - 163) < 30;
            }
        return static_cast<double>(teal) / (g->width * g->height);
    }
    return 0;
}

class StatusAreaTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (desktop::sh("xdotool search --class trayer 2>/dev/null").empty()) startTrayHost();
    }
    desktop::TestBackend backend;
};

TEST_F(StatusAreaTest, AStatusAreaThatAppearsAfterTheAgentShowsTheEmblemNotOnlyTheDot) {
    stopTrayHost();
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("backend from config file:", Seconds(20)));
    startTrayHost();
    EXPECT_TRUE(desktop::waitUntil([] { return emblemShare() > 0.2; }, Seconds(15))) << "teal share " << emblemShare();
}

TEST_F(StatusAreaTest, WithoutAStatusAreaTheAgentSaysOnceHowToReachItAndOpensItsWindowAgain) {
    stopTrayHost();
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    // No notification server on this desktop: a message box says it.
    auto hint = desktop::waitForWindow("^Wellspire Agent$", Seconds(25));
    ASSERT_TRUE(hint) << "no word on how to reach the agent";
    const std::string settings = desktop::shellQuote(agent.configDir() + "/wellspire-agent/agent.ini");
    EXPECT_NE(desktop::sh("cat " + settings).find("ws.reachHintShown=true"), std::string::npos);
    desktop::sh("xdotool windowactivate --sync " + *hint + " 2>/dev/null; xdotool key --window " + *hint + " Return");
    ASSERT_TRUE(desktop::waitUntil([] { return desktop::windowsNamed("^Wellspire Agent$").empty(); }, Seconds(5)));

    // Opened again from the applications: the launch returns at once, and the window's first
    // command is the menu's first, "Send test alert".
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.launchAgain({}), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, Seconds(3));
    auto window = desktop::waitForWindow("^Wellspire Agent$", Seconds(10));
    ASSERT_TRUE(window) << "no window on a second launch";
    desktop::sh("xdotool windowactivate --sync " + *window + " 2>/dev/null; xdotool key --window " + *window + " space");
    EXPECT_TRUE(desktop::waitForWindow("^Wellspire is watching over you", Seconds(10)));

    // The same user's next run says nothing.
    agent.stop();
    Agent next(backend.base());
    desktop::sh("cp " + settings + " " + desktop::shellQuote(next.configDir() + "/wellspire-agent/agent.ini"));
    ASSERT_TRUE(next.start());
    EXPECT_FALSE(desktop::waitForWindow("^Wellspire Agent$", Seconds(15))) << "said twice";
}

}  // namespace
