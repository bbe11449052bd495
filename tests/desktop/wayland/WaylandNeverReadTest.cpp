// Places the real agent never reads, on a sway session: an application on the "never read" list
// (a GTK window known by its desktop entry's StartupWMClass against its app id) is neither read as
// it is typed in nor seen in a capture of the whole output beside a window that is read; private
// browsing windows of Chromium and Firefox are not read until the privacy window's switch allows it.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/Sway.h"
#include "desktop/wayland/WaylandClient.h"

namespace {

using desktop::Agent;
using desktop::Client;
using desktop::Seconds;
using desktop::TestBackend;
namespace fs = std::filesystem;

bool sent(const TestBackend& backend, const std::string& path, const std::string& text) {
    for (const auto& r : backend.requests(path))
        if (r.body.find(text) != std::string::npos) return true;
    return false;
}

void presetPrivacy(const Agent& agent, const std::string& lines) {
    std::ofstream(agent.configDir() + "/wellspire-agent/agent.ini", std::ios::app) << "\n[privacy]\n" << lines << "\n";
}

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/ws-never.XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Scratch() { fs::remove_all(path); }
    std::string path;
};

TEST(WaylandNeverRead, AListedApplicationIsNeitherReadNorSeenInADisplayCapture) {
    const char* data = std::getenv("XDG_DATA_HOME");
    ASSERT_TRUE(data && *data);
    fs::create_directories(fs::path(data) / "applications");
    std::ofstream(fs::path(data) / "applications/org.example.Diary.desktop")
        << "[Desktop Entry]\nType=Application\nName=Diary\nExec=diary\nStartupWMClass=WsDiary\n";

    TestBackend backend;
    Agent agent(backend.base());
    desktop::skipReachHint(agent);
    presetPrivacy(agent, "neverRead=org.example.Diary");
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20))) << desktop::logTail(agent);
    Client diary(desktop::gtkProbe({"--title", "Diary wayland probe", "--wmclass", "WsDiary", "--entries", "--label",
                                    "Quince harbor", "--size", "700x300"}),
                 desktop::kGtkWayland);
    Client other(desktop::gtkProbe({"--title", "Other wayland probe", "--wmclass", "WsOther", "--entries", "--label",
                                    "Lantern morning"}),
                 desktop::kGtkWayland);
    Client small(desktop::gtkProbe({"--title", "Small wayland probe", "--wmclass", "WsSmall"}), desktop::kGtkWayland);
    auto diaryWindow = desktop::waitForSwayWindow("^Diary wayland probe$", Seconds(20));
    auto otherWindow = desktop::waitForSwayWindow("^Other wayland probe$", Seconds(20));
    auto smallWindow = desktop::waitForSwayWindow("^Small wayland probe$", Seconds(20));
    ASSERT_TRUE(diaryWindow && otherWindow && smallWindow);
    // Floating and small, in a corner: with it in front, the whole output is read.
    desktop::sh("swaymsg '[con_id=" + std::to_string(smallWindow->id) +
                "] floating enable, resize set 120 120, move position 0 0' >/dev/null 2>&1");

    ASSERT_TRUE(desktop::swayFocus(*diaryWindow));
    desktop::wtype("my diary stays mine", 25);
    desktop::settle(Seconds(4));
    ASSERT_TRUE(desktop::swayFocus(*otherWindow));
    desktop::wtype("the other one is read", 25);
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(15))) << desktop::logTail(agent);
    EXPECT_TRUE(sent(backend, "/api/monitor", "the other one is read"));

    ASSERT_TRUE(desktop::swayFocus(*smallWindow));
    EXPECT_TRUE(desktop::waitUntil([&] { return sent(backend, "/api/scan", "Lantern morning"); }, Seconds(25)))
        << "the screen was not read\n" << desktop::logTail(agent);
    desktop::settle(Seconds(3));
    ASSERT_TRUE(desktop::swayFocus(*diaryWindow));
    desktop::settle(Seconds(4));

    EXPECT_FALSE(sent(backend, "/api/monitor", "diary stays")) << "a listed application's field was read";
    std::string scans;
    for (const auto& r : backend.requests("/api/scan")) scans += r.body + "\n";
    EXPECT_FALSE(sent(backend, "/api/scan", "Quince")) << "a listed application's window was read:\n" << scans;
}

class WaylandPrivateBrowsing : public ::testing::Test {
protected:
    void SetUp() override {
        desktop::skipReachHint(agent);
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20))) << desktop::logTail(agent);
        std::ofstream(scratch.path + "/page.html")
            << "<!doctype html><html><head><meta charset=\"utf-8\"><title>Write here</title></head><body>"
               "<textarea autofocus rows=\"4\" cols=\"60\"></textarea></body></html>\n";
    }
    std::string url() const { return "file://" + scratch.path + "/page.html"; }

    void readOnlyOnceAllowed(const std::string& title) {
        auto browser = desktop::waitForSwayWindow(title, Seconds(40));
        if (!browser) {
            std::string shown;
            for (const auto& w : desktop::swayWindows()) shown += " [" + w.title + "]";
            FAIL() << "no window " << title << "; windows:" << shown;
        }
        ASSERT_TRUE(desktop::swayFocus(*browser));
        desktop::settle(Seconds(2));
        desktop::wtype("private words stay here", 25);
        desktop::settle(Seconds(5));
        EXPECT_FALSE(sent(backend, "/api/monitor", "private words")) << "a private window was read";

        // The privacy window through a second launch's window; the switch is the third stop.
        agent.launchAgain({});
        auto status = desktop::waitForSwayWindow("^Wellspire Agent$", Seconds(10));
        ASSERT_TRUE(status) << "a second launch opened no window";
        ASSERT_TRUE(desktop::swayFocus(*status));
        desktop::wtypeChord("shift", "Tab");
        desktop::wtypeChord("shift", "Tab");
        desktop::wtypeKeys({"space"});
        auto privacy = desktop::waitForSwayWindow("^Wellspire Privacy", Seconds(10));
        ASSERT_TRUE(privacy) << "the privacy window did not open";
        ASSERT_TRUE(desktop::swayFocus(*privacy));
        desktop::wtypeKeys({"Tab", "Tab", "space"});
        desktop::settle(Seconds(1));
        std::ifstream ini(agent.configDir() + "/wellspire-agent/agent.ini");
        const std::string text((std::istreambuf_iterator<char>(ini)), {});
        ASSERT_NE(text.find("readPrivateBrowsing=true"), std::string::npos) << text;

        ASSERT_TRUE(desktop::swayFocus(*browser));
        desktop::settle(Seconds(1));
        desktop::wtype(" and now it may be read", 25);
        EXPECT_TRUE(desktop::waitUntil([&] { return sent(backend, "/api/monitor", "now it may be read"); },
                                       Seconds(15)))
            << "not read once allowed\n" << desktop::logTail(agent);
    }

    TestBackend backend;
    Agent agent{backend.base()};
    Scratch scratch;
};

TEST_F(WaylandPrivateBrowsing, ChromiumIncognito) {
    std::vector<std::string> argv{"chromium", "--incognito", "--ozone-platform=x11",
                                  "--user-data-dir=" + scratch.path + "/profile", "--no-first-run",
                                  "--no-default-browser-check", "--disable-background-networking",
                                  "--disable-component-update", "--disable-sync", "--disable-gpu",
                                  "--password-store=basic", url()};
    if (::geteuid() == 0) argv.insert(argv.begin() + 1, "--no-sandbox");  // Chromium refuses root otherwise
    Client browser(argv);
    readOnlyOnceAllowed("^Write here - Chromium$");
}

TEST_F(WaylandPrivateBrowsing, FirefoxPrivateWindow) {
    const std::string profile = scratch.path + "/profile";
    fs::create_directories(profile);
    std::ofstream(profile + "/user.js") << "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                           "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
                                           "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                                           "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
                                           "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n";
    Client browser({"firefox-esr", "--no-remote", "--new-instance", "--profile", profile, "--private-window", url()},
                   {{"MOZ_ENABLE_WAYLAND", "1"}});
    readOnlyOnceAllowed("^Write here — Mozilla Firefox Private Browsing$");
}

}  // namespace
