// Reaching the agent on any desktop: a status area that appears after the agent (as at login) shows
// the emblem; without one, the agent says once how to reach it, and opening it again shows its window.
#include <sstream>

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include "DesktopHarness.h"

namespace {

using desktop::Agent;
using desktop::Seconds;
using desktop::TestBackend;

// The status-area host of this display only (other displays may have their own).
void stopTrayHost() {
    desktop::sh("for p in $(pgrep -x trayer); do tr '\\0' '\\n' </proc/$p/environ | grep -qx \"DISPLAY=$DISPLAY\" && "
                "kill $p; done; sleep 0.3");
}

void startTrayHost() {
    desktop::sh("(setsid trayer --edge top --align right --widthtype request --height 28 --SetDockType true "
                "--expand false >/dev/null 2>&1 &)");
}

// The agent's icon in the status area: its small embedded window.
std::optional<desktop::WindowGeometry> trayIcon(Seconds timeout) {
    std::optional<desktop::WindowGeometry> found;
    desktop::waitUntil(
        [&] {
            std::istringstream ids(desktop::sh("xdotool search --class wellspire-agent 2>/dev/null"));
            std::string id;
            while (ids >> id) {
                auto g = desktop::geometry(id);
                if (g && g->width > 0 && g->width <= 64 && g->height <= 64 && g->y < 64) found = g;
            }
            return found.has_value();
        },
        timeout);
    return found;
}

// Share of the icon's pixels in the emblem's teal.
double emblemShare(const desktop::WindowGeometry& icon) {
    const std::string file = "/tmp/ws-status-area.png";
    if (!desktop::screenshot(file)) return 0;
    const QImage shot(QString::fromStdString(file));
    int teal = 0, all = 0;
    for (int y = icon.y; y < icon.y + icon.height; ++y) {
        for (int x = icon.x; x < icon.x + icon.width; ++x) {
            const QColor c = shot.pixelColor(x, y);
            ++all;
            teal += std::abs(c.red() - 43) < 30 && std::abs(c.green() - 179) < 30 && std::abs(c.blue() - 163) < 30;
        }
    }
    return all ? static_cast<double>(teal) / all : 0;
}

class StatusAreaTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The other cases expect the status area.
        if (desktop::sh("xdotool search --class trayer 2>/dev/null").empty()) startTrayHost();
    }
    TestBackend backend;
};

TEST_F(StatusAreaTest, AStatusAreaThatAppearsAfterTheAgentShowsTheEmblem) {
    stopTrayHost();
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("backend from config file:", Seconds(20)));
    startTrayHost();
    auto icon = trayIcon(Seconds(10));
    ASSERT_TRUE(icon) << "the icon never came into the status area";
    // The emblem, not only the status dot, fills the icon.
    EXPECT_TRUE(desktop::waitUntil([&] { return emblemShare(*icon) > 0.2; }, Seconds(5)))
        << "teal share " << emblemShare(*icon);
}

TEST_F(StatusAreaTest, WithoutAStatusAreaTheAgentSaysOnceHowToReachItAndItsWindowOpensAgain) {
    stopTrayHost();
    {
        Agent agent(backend.base());
        ASSERT_TRUE(agent.start());
        // No notification server on this desktop: a message box says it.
        auto hint = desktop::waitForWindow("^Wellspire Agent$", Seconds(25));
        ASSERT_TRUE(hint) << "no word on how to reach the agent";
        EXPECT_NE(desktop::sh("cat " + desktop::shellQuote(agent.configDir() + "/wellspire-agent/agent.ini")).find(
                      "ws.reachHintShown=true"),
                  std::string::npos);
        desktop::sh("xdotool windowactivate --sync " + *hint + " 2>/dev/null; xdotool key --window " + *hint + " Return");
        ASSERT_TRUE(desktop::waitUntil([] { return desktop::windowsNamed("^Wellspire Agent$").empty(); }, Seconds(5)));

        // Opened again from the applications: a second launch returns at once, and the agent's
        // window offers the menu's commands.
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(agent.launchAgain({}), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - before, Seconds(3));
        auto window = desktop::waitForWindow("^Wellspire Agent$", Seconds(10));
        ASSERT_TRUE(window) << "no window on a second launch";
        desktop::sh("xdotool windowactivate --sync " + *window + " 2>/dev/null; xdotool key --window " + *window +
                    " space");
        EXPECT_TRUE(desktop::waitForWindow("^Wellspire is watching over you", Seconds(10)))
            << "the window's first command is not \"Send test alert\"";
        EXPECT_TRUE(agent.running());

        // The same user's next run says nothing.
        agent.stop();
        Agent next(backend.base());
        desktop::sh("cp " + desktop::shellQuote(agent.configDir() + "/wellspire-agent/agent.ini") + " " +
                    desktop::shellQuote(next.configDir() + "/wellspire-agent/agent.ini"));
        ASSERT_TRUE(next.start());
        EXPECT_FALSE(desktop::waitForWindow("^Wellspire Agent$", Seconds(15))) << "said twice";
    }
}

}  // namespace
