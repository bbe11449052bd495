// Places the real agent never reads: an application on the "never read" list (a GTK window known by
// its desktop entry's StartupWMClass) is neither read as it is typed in nor seen in a display
// capture beside a window that is read; private browsing windows of Chromium and Firefox are not
// read until the switch in the privacy window allows it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "desktop/Client.h"
#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"

namespace {

using desktop::Agent;
using desktop::Client;
using desktop::Seconds;
using desktop::TestBackend;
namespace fs = std::filesystem;

constexpr const char* kPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>Write here</title></head><body>
<textarea autofocus rows="4" cols="60"></textarea>
</body></html>
)";

bool activate(const std::string& title) {
    auto window = desktop::waitForWindow(title, Seconds(40));
    if (!window) return false;
    desktop::xdotool("windowactivate --sync " + *window);
    return desktop::waitUntil([&] { return desktop::sh("xdotool getactivewindow 2>/dev/null").find(*window) == 0; },
                              Seconds(5));
}

// Whether `text` went to `path` in any request from the `from`th on.
bool sent(const TestBackend& backend, const std::string& path, const std::string& text, std::size_t from = 0) {
    const auto requests = backend.requests(path);
    for (std::size_t i = from; i < requests.size(); ++i)
        if (requests[i].body.find(text) != std::string::npos) return true;
    return false;
}

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/ws-never.XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Scratch() { fs::remove_all(path); }
    std::string path;
};

TEST(NeverReadTest, AListedApplicationIsNeitherReadNorSeenInADisplayCapture) {
    // Installed as a user installs it: a desktop entry that names the window class it makes.
    const char* data = std::getenv("XDG_DATA_HOME");
    ASSERT_TRUE(data && *data);
    fs::create_directories(fs::path(data) / "applications");
    std::ofstream(fs::path(data) / "applications/org.example.Diary.desktop")
        << "[Desktop Entry]\nType=Application\nName=Diary\nExec=diary\nStartupWMClass=WsDiary\n";

    TestBackend backend;
    desktop::ProbeWindow diary({"--title", "Diary probe", "--wmclass", "WsDiary", "--entries", "--label",
                                "Quince harbor", "--size", "620x300", "--position", "40,80"});
    desktop::ProbeWindow other({"--title", "Other probe", "--wmclass", "WsOther", "--entries", "--label",
                                "Lantern morning", "--size", "620x300", "--position", "700,80"});
    // Small: with it in front, the screen is read whole.
    desktop::ProbeWindow small({"--title", "Small probe", "--wmclass", "WsSmall", "--size", "120x120", "--position",
                                "600,700"});
    ASSERT_TRUE(diary.waitShown("Diary probe"));
    ASSERT_TRUE(other.waitShown("Other probe"));
    ASSERT_TRUE(small.waitShown("Small probe"));
    desktop::ensureTrayHost();
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));

    // Picked in the privacy window from the installed applications, by name.
    ASSERT_TRUE(desktop::openStatusMenu()) << "no status icon in the tray";
    desktop::settle(Seconds(0.5));
    desktop::xdotool("key Up Up Return");
    auto privacy = desktop::waitForWindow("^Wellspire Privacy$", Seconds(5));
    ASSERT_TRUE(privacy);
    desktop::xdotool("windowactivate --sync " + *privacy);
    desktop::settle(Seconds(0.3));
    desktop::xdotool("key alt+c");
    desktop::xdotool("type --delay 80 Diary");
    desktop::xdotool("key alt+a");
    desktop::settle(Seconds(0.5));
    desktop::xdotool("key Escape");
    {
        std::ifstream ini(agent.configDir() + "/wellspire-agent/agent.ini");
        const std::string text((std::istreambuf_iterator<char>(ini)), {});
        ASSERT_NE(text.find("neverRead=org.example.Diary"), std::string::npos) << text;
    }
    // What was read before the diary was listed is not its concern; a cycle under way may still end.
    desktop::settle(Seconds(1.5));
    const std::size_t scansBefore = backend.count("/api/scan");

    ASSERT_TRUE(diary.activate());
    desktop::xdotool("type --delay 25 'my diary stays mine'");
    desktop::settle(Seconds(4));
    ASSERT_TRUE(other.activate());
    desktop::xdotool("type --delay 25 'the other one is read'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(10)));
    EXPECT_TRUE(sent(backend, "/api/monitor", "the other one is read"));

    // The whole screen, both windows side by side: only the other one's text.
    ASSERT_TRUE(small.activate());
    EXPECT_TRUE(desktop::waitUntil([&] { return sent(backend, "/api/scan", "Lantern morning"); }, Seconds(20)))
        << "the screen was not read";
    desktop::settle(Seconds(3));
    // And the diary in front again: its window is never captured.
    ASSERT_TRUE(diary.activate());
    desktop::settle(Seconds(4));

    EXPECT_FALSE(sent(backend, "/api/monitor", "diary stays")) << "a listed application's field was read";
    EXPECT_FALSE(sent(backend, "/api/scan", "Quince", scansBefore)) << "a listed application's window was read";
    EXPECT_TRUE(agent.waitForLog("never read", Seconds(1))) << "the diary's window capture was not refused";
}

class PrivateBrowsing : public ::testing::Test {
protected:
    void SetUp() override {
        desktop::ensureTrayHost();
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));
        std::ofstream(scratch.path + "/page.html") << kPage;
    }
    std::string url() const { return "file://" + scratch.path + "/page.html"; }

    // Not read at first; read once the privacy window's switch allows it.
    void readOnlyOnceAllowed(const std::string& title) {
        ASSERT_TRUE(activate(title));
        desktop::settle(Seconds(2));
        desktop::xdotool("type --delay 25 'private words stay here'");
        desktop::settle(Seconds(5));
        EXPECT_FALSE(sent(backend, "/api/monitor", "private words")) << "a private window was read";

        ASSERT_TRUE(desktop::openStatusMenu()) << "no status icon in the tray";
        desktop::settle(Seconds(0.5));
        desktop::xdotool("key Up Up Return");
        auto privacy = desktop::waitForWindow("^Wellspire Privacy$", Seconds(5));
        ASSERT_TRUE(privacy);
        desktop::xdotool("windowactivate --sync " + *privacy);
        desktop::settle(Seconds(0.3));
        desktop::xdotool("key alt+p");
        desktop::settle(Seconds(0.5));
        desktop::xdotool("key Escape");

        ASSERT_TRUE(activate(title));
        desktop::settle(Seconds(1));
        desktop::xdotool("type --delay 25 ' and now it may be read'");
        EXPECT_TRUE(desktop::waitUntil([&] { return sent(backend, "/api/monitor", "now it may be read"); },
                                       Seconds(15)))
            << "not read once allowed";
        std::ifstream ini(agent.configDir() + "/wellspire-agent/agent.ini");
        const std::string text((std::istreambuf_iterator<char>(ini)), {});
        EXPECT_NE(text.find("readPrivateBrowsing=true"), std::string::npos) << text;
    }

    TestBackend backend;
    Agent agent{backend.base()};
    Scratch scratch;
};

TEST_F(PrivateBrowsing, ChromiumIncognito) {
    std::vector<std::string> argv{"chromium", "--incognito", "--user-data-dir=" + scratch.path + "/profile",
                                  "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                                  "--disable-component-update", "--disable-sync", "--disable-gpu",
                                  "--password-store=basic", url()};
    if (::geteuid() == 0) argv.insert(argv.begin() + 1, "--no-sandbox");  // Chromium refuses root otherwise
    Client browser(argv);
    readOnlyOnceAllowed("^Write here - Chromium$");
}

TEST_F(PrivateBrowsing, FirefoxPrivateWindow) {
    const std::string profile = scratch.path + "/profile";
    fs::create_directories(profile);
    std::ofstream(profile + "/user.js") << "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                           "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
                                           "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                                           "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
                                           "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n";
    Client browser({"firefox-esr", "--no-remote", "--new-instance", "--profile", profile, "--private-window", url()});
    readOnlyOnceAllowed("^Write here — Mozilla Firefox Private Browsing$");
}

}  // namespace
