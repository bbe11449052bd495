// The real agent on a sway session with native Wayland clients: the text on screen reaches the
// scan, a check-in shows at the top right without taking the focus, and the behaviour and
// app-usage reports see the switches between applications and the delete keys.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/Sway.h"
#include "desktop/wayland/WaylandClient.h"

namespace {

using desktop::Agent;
using desktop::Json;
using desktop::Seconds;
using desktop::SwayWindow;
using desktop::TestBackend;
using desktop::Client;
using desktop::WindowGeometry;
namespace fs = std::filesystem;

class WaylandSignals : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ws-wayland-signals.XXXXXX";
        scratch = ::mkdtemp(pattern);
    }
    void TearDown() override {
        if (HasFailure()) std::printf("%s", desktop::logTail(agent).c_str());
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }
    void startAgent() {
        desktop::skipReachHint(agent);
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20))) << desktop::logTail(agent);
    }
    // A native Wayland window of the session (not one through Xwayland).
    SwayWindow window(const std::string& title) {
        const auto found = desktop::waitForSwayWindow("^" + title + "$", Seconds(20));
        if (!found) {
            ADD_FAILURE() << title << " never showed";
            return {};
        }
        EXPECT_EQ(found->shell, "xdg_shell") << title << " is not a native Wayland window";
        return *found;
    }

    TestBackend backend;
    Agent agent{backend.base()};
    std::string scratch;
};

// The first active output's frame, as sway lays it out.
std::optional<WindowGeometry> output() {
    const Json outputs = Json::parse(desktop::sh("swaymsg -r -t get_outputs 2>/dev/null"), nullptr, false);
    if (!outputs.is_array()) return std::nullopt;
    for (const auto& o : outputs)
        if (o.value("active", false)) {
            const auto& r = o["rect"];
            return WindowGeometry{r.value("x", 0), r.value("y", 0), r.value("width", 0), r.value("height", 0)};
        }
    return std::nullopt;
}

// Where two screenshots differ, outside `ignored` (a window whose caret may blink); nothing when
// they do not.
std::optional<WindowGeometry> changedRegion(const std::string& before, const std::string& after,
                                            const WindowGeometry& ignored) {
    const std::string mask = std::to_string(ignored.x - 4) + "," + std::to_string(ignored.y - 4) + " " +
                             std::to_string(ignored.x + ignored.width + 4) + "," +
                             std::to_string(ignored.y + ignored.height + 4);
    std::istringstream box(desktop::sh("convert " + desktop::shellQuote(before) + " " + desktop::shellQuote(after) +
                                       " -compose difference -composite -colorspace gray -fill black -draw "
                                       "'rectangle " + mask + "' -threshold 3% -format '%@' info: 2>/dev/null"));
    WindowGeometry g;
    char x = 0, plus1 = 0, plus2 = 0;
    if (!(box >> g.width >> x >> g.height >> plus1 >> g.x >> plus2 >> g.y) || g.width <= 1 || g.height <= 1)
        return std::nullopt;
    return g;
}

// The check-in panel titled like `pattern`, however the agent shows it: a window sway manages, an
// Xwayland window (an override-redirect one is not in sway's tree), or a surface of neither kind
// (a layer surface), seen as the part of the screen that changed outside the client.
struct Panel {
    WindowGeometry frame;
    std::string seenAs;
};
std::optional<Panel> findPanel(const std::string& pattern, const std::string& before, const WindowGeometry& client,
                               const std::string& after) {
    std::optional<Panel> panel;
    std::optional<WindowGeometry> lastChange;
    desktop::waitUntil(
        [&] {
            if (const auto w = desktop::waitForSwayWindow(pattern, Seconds(0))) {
                panel = Panel{w->rect, "sway window (" + w->shell + ")"};
                return true;
            }
            if (const auto ids = desktop::windowsNamed(pattern); !ids.empty())
                if (const auto g = desktop::geometry(ids.front())) {
                    panel = Panel{*g, "Xwayland window"};
                    return true;
                }
            if (!desktop::grimScreenshot(after)) return false;
            // The same change twice in a row: the panel has settled where it stays.
            const auto change = changedRegion(before, after, client);
            const bool settled = change && lastChange && change->x == lastChange->x && change->y == lastChange->y &&
                                 change->width == lastChange->width && change->height == lastChange->height;
            lastChange = change;
            if (settled) panel = Panel{*change, "screen change (a layer surface?)"};
            return settled;
        },
        Seconds(15));
    return panel;
}

TEST_F(WaylandSignals, TheTextOfANativeWindowReachesTheScan) {
    Client probe(desktop::gtkProbe({"--title", "Reading probe", "--label", "Lantern harbor morning", "--size",
                                           "900x300"}),
                        desktop::kGtkWayland);
    const auto reading = window("Reading probe");
    ASSERT_TRUE(desktop::swayFocus(reading));
    startAgent();
    const bool read = desktop::waitUntil(
        [&] {
            for (const auto& r : backend.requests("/api/scan"))
                if (r.body.find("Lantern harbor morning") != std::string::npos) return true;
            return false;
        },
        Seconds(25));
    std::string scans;
    for (const auto& r : backend.requests("/api/scan")) scans += "  " + r.body.substr(0, 200) + "\n";
    EXPECT_TRUE(read) << backend.count("/api/scan") << " scans, none with the window's text:\n" << scans;
}

TEST_F(WaylandSignals, ACheckInShowsAtTheTopRightWithoutTakingTheFocus) {
    backend.reply("/api/monitor", {{"judgment", {{"surface", "gentle"}}}});
    // A window over the whole screen, which the panel must show above, and the one typed in,
    // floating at the bottom left.
    Client backdrop(desktop::gtkProbe({"--title", "Backdrop", "--color", "#d8e4f0"}), desktop::kGtkWayland);
    ASSERT_GT(window("Backdrop").pid, 0);
    Client probe(desktop::gtkProbe({"--title", "Check-in probe", "--entries"}), desktop::kGtkWayland);
    auto client = window("Check-in probe");
    ASSERT_GT(client.pid, 0);
    desktop::sh("swaymsg '[con_id=" + std::to_string(client.id) +
                "] floating enable, resize set 600 240, move position 40 780' >/dev/null 2>&1");
    ASSERT_TRUE(desktop::swayFocus(client));
    const auto screen = output();
    ASSERT_TRUE(screen);
    startAgent();
    const auto moved = desktop::waitForSwayWindow("^Check-in probe$", Seconds(1));
    ASSERT_TRUE(moved);
    client = *moved;
    const std::string before = scratch + "/before.png", after = scratch + "/after.png";
    ASSERT_TRUE(desktop::grimScreenshot(before));

    desktop::wtype("the last few days were heavy");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(15))) << "the typed text was never posted";
    const auto panel = findPanel("^Wellspire noticed something", before, client.rect, after);
    ASSERT_TRUE(panel) << "no check-in panel: not in sway's tree, not on Xwayland, nothing changed on screen";
    desktop::settle(Seconds(1));  // a panel that takes the focus may take it a moment after it shows

    // Not taking the focus: sway keeps it on the client, and keys still reach the client's field
    // (a layer surface could hold the keyboard without sway's tree saying so).
    const auto focused = desktop::focusedSwayWindow();
    EXPECT_TRUE(focused && focused->pid == client.pid)
        << "the focus moved to " << (focused ? focused->title + " (pid " + std::to_string(focused->pid) + ")" : "nothing");
    desktop::wtype(" and long");
    EXPECT_TRUE(desktop::waitUntil(
        [&] { return backend.count("/api/monitor") > 0 &&
                     backend.requests("/api/monitor").back().json() == Json{{"text", "the last few days were heavy and long"}}; },
        Seconds(12)))
        << "keys typed after the check-in showed did not reach the client";

    // Top right, 22 px in from the edges, as on X11; a few pixels of shadow are allowed for.
    const auto& f = panel->frame;
    EXPECT_NEAR(f.x + f.width, screen->x + screen->width - 22, 6) << panel->seenAs;
    EXPECT_NEAR(f.y, screen->y + 22, 6) << panel->seenAs;
    EXPECT_GT(f.width, 200) << panel->seenAs;
    EXPECT_LT(f.width, screen->width / 2) << panel->seenAs;
    // Above the backdrop: the screen changed where the panel is.
    ASSERT_TRUE(desktop::grimScreenshot(after));
    const auto drawn = changedRegion(before, after, client.rect);
    EXPECT_TRUE(drawn && drawn->x <= f.x + f.width / 2 && f.x + f.width / 2 <= drawn->x + drawn->width &&
                drawn->y <= f.y + f.height / 2 && f.y + f.height / 2 <= drawn->y + drawn->height)
        << "the panel is not on screen where it says it is (" << panel->seenAs << ")";
}

TEST_F(WaylandSignals, BehaviourAndAppUsageReportsCarryActivationsAndDeleteKeys) {
    backend.reply("/api/agent_prefs", {{"track_app_usage", true}});
    Client gtk(desktop::gtkProbe({"--title", "Usage GTK", "--entries"}), desktop::kGtkWayland);
    Client qt({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_qt.py", "--qt", "6", "--title",
                      "Usage Qt"},
                     desktop::kQtWayland);
    const auto first = window("Usage GTK"), second = window("Usage Qt");
    ASSERT_GT(first.pid, 0);
    ASSERT_GT(second.pid, 0);
    startAgent();
    // Each application in front for a while, then keys into the first one.
    ASSERT_TRUE(desktop::swayFocus(first));
    desktop::settle(Seconds(1.5));
    ASSERT_TRUE(desktop::swayFocus(second));
    desktop::settle(Seconds(1.5));
    ASSERT_TRUE(desktop::swayFocus(first));
    desktop::wtypeKeys({"backslash", "backslash", "BackSpace", "backslash"});

    // The first behaviour report comes 45 s after monitoring starts, the first usage report at 60 s.
    ASSERT_TRUE(backend.waitFor("/api/behavioral/log", 1, Seconds(55)));
    const auto report = backend.requests("/api/behavioral/log").front().json();
    EXPECT_GT(report.value("tab_switches", 0.0), 0.0) << report.dump();
    EXPECT_DOUBLE_EQ(report.value("backspace_rate", -1.0), 0.25) << report.dump();

    ASSERT_TRUE(backend.waitFor("/api/app_usage/log", 1, Seconds(20)))
        << "no app-usage report: no application was measured in front";
    const auto usage = backend.requests("/api/app_usage/log").front().json();
    ASSERT_TRUE(usage.contains("apps") && usage["apps"].is_object()) << usage.dump();
    std::size_t inFront = 0;
    for (const auto& [name, seconds] : usage["apps"].items()) inFront += seconds.get<double>() >= 1.0 ? 1 : 0;
    EXPECT_GE(inFront, 2u) << "both applications were in front for more than a second: " << usage.dump();
}

}  // namespace
