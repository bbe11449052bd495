// The real agent on a sway session reading what people type in native Wayland clients: GTK 3 and
// 4, Qt 5 and 6, and Firefox. Keys come from the compositor's virtual keyboard, as from a real one; each
// text must reach "/api/monitor" once, trimmed, and a password field never, not when left in its
// field and not when shown with its toggle. A page being read and a terminal are never read.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/Sway.h"
#include "desktop/wayland/WaylandClient.h"

namespace {

using desktop::Agent;
using desktop::Json;
using desktop::Seconds;
using desktop::TestBackend;
using desktop::Client;
namespace fs = std::filesystem;

constexpr const char* kPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>Write here</title></head><body>
<textarea autofocus rows="4" cols="60"></textarea><br>
<input type="password" size="60">
<script>
// Alt+R shows the password, as a "show password" toggle does, without moving the focus.
document.addEventListener('keydown', e => {
  if (e.altKey && e.key === 'r') { document.querySelector('input[type=password]').type = 'text'; e.preventDefault(); }
});
</script>
</body></html>
)";

constexpr const char* kReadingPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>Read here</title></head><body style="font-size:20px">
<h1>A page being read</h1>
<p>This paragraph is something the user reads and never writes, so it is not typed text.</p>
</body></html>
)";

class WaylandTypedText : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ws-wayland-client.XXXXXX";
        scratch = ::mkdtemp(pattern);
        desktop::skipReachHint(agent);
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20))) << desktop::logTail(agent);
    }
    void TearDown() override {
        if (HasFailure()) std::printf("%s", desktop::logTail(agent).c_str());
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }

    bool focus(const std::string& titlePattern, Seconds timeout = Seconds(20)) {
        const auto window = desktop::waitForSwayWindow(titlePattern, timeout);
        if (!window) return false;
        EXPECT_EQ(window->shell, "xdg_shell") << window->title << " is not a native Wayland window";
        return desktop::swayFocus(*window);
    }

    std::size_t postsOf(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& r : backend.requests("/api/monitor")) n += r.json() == Json{{"text", text}} ? 1 : 0;
        return n;
    }

    std::string posted() const {
        std::string all;
        for (const auto& r : backend.requests("/api/monitor")) all += r.body + " ";
        return all;
    }

    // Types a padded line into the focused field, a password into the next one, and expects the
    // line once, trimmed, and nothing of the password.
    void typeLineThenSecret(const std::string& client) {
        const std::string line = client + " on Wayland: the week was long and heavy";
        desktop::wtype("  " + line + "  ");
        ASSERT_TRUE(desktop::waitUntil([&] { return postsOf(line) > 0; }, Seconds(15)))
            << client << " text never posted; the posts: " << posted();
        desktop::wtype("hunter2 " + client + " battery staple", 25, {"Tab"});
        // Left in its field long enough for any reading to settle, then shown with its toggle.
        desktop::settle(Seconds(5));
        desktop::wtypeChord("alt", "r");
        desktop::settle(Seconds(4));
        EXPECT_EQ(postsOf(line), 1u);
        for (const auto& r : backend.requests("/api/monitor"))
            EXPECT_EQ(r.body.find("hunter2"), std::string::npos) << r.body;
    }

    std::vector<std::string> firefox(const char* page) {
        const std::string profile = scratch + "/profile";
        fs::create_directories(profile);
        std::ofstream(profile + "/user.js") << "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                               "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
                                               "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                                               "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
                                               "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n";
        std::ofstream(scratch + "/page.html") << page;
        return {"firefox-esr", "--no-remote", "--new-instance", "--profile", profile, "file://" + scratch + "/page.html"};
    }

    TestBackend backend;
    Agent agent{backend.base()};
    std::string scratch;
};

TEST_F(WaylandTypedText, Gtk3) {
    Client probe(desktop::gtkProbe({"--title", "Gtk3 wayland probe", "--entries"}), desktop::kGtkWayland);
    ASSERT_TRUE(focus("^Gtk3 wayland probe$"));
    typeLineThenSecret("GTK 3");
}

TEST_F(WaylandTypedText, Gtk4) {
    Client probe({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_gtk4.py", "--title",
                  "Gtk4 wayland probe"},
                 desktop::kGtkWayland);
    ASSERT_TRUE(focus("^Gtk4 wayland probe$"));
    typeLineThenSecret("GTK 4");
}

TEST_F(WaylandTypedText, Qt6AndQt5) {
    for (const std::string version : {"6", "5"}) {
        Client probe({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_qt.py", "--qt", version,
                      "--title", "Qt" + version + " wayland probe"},
                     desktop::kQtWayland);
        ASSERT_TRUE(focus("^Qt" + version + " wayland probe$"));
        typeLineThenSecret("Qt " + version);
    }
}

TEST_F(WaylandTypedText, Firefox) {
    Client browser(firefox(kPage), {{"MOZ_ENABLE_WAYLAND", "1"}});
    ASSERT_TRUE(focus("^Write here — Mozilla Firefox$", Seconds(40)));
    // The window is focused before the page has its textarea ready.
    desktop::settle(Seconds(1));
    typeLineThenSecret("Firefox");
}

TEST_F(WaylandTypedText, APageBeingReadOrATerminalIsNeverRead) {
    {
        Client browser(firefox(kReadingPage), {{"MOZ_ENABLE_WAYLAND", "1"}});
        ASSERT_TRUE(focus("^Read here — Mozilla Firefox$", Seconds(40)));
        desktop::settle(Seconds(2));
        desktop::wtypeKeys({"Down", "Down"});
        desktop::settle(Seconds(4));
    }
    {
        Client terminal({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_terminal.py", "--title",
                         "Terminal wayland probe"},
                        desktop::kGtkWayland);
        ASSERT_TRUE(focus("^Terminal wayland probe$"));
        desktop::wtype("a line typed into the terminal, echoed as its output", 25);
        desktop::wtypeKeys({"Return"});
        desktop::settle(Seconds(5));
    }
    EXPECT_EQ(backend.count("/api/monitor"), 0u) << posted();
    // The agent did read meanwhile: a field typed into afterwards is posted.
    Client probe(desktop::gtkProbe({"--title", "After reading", "--entries"}), desktop::kGtkWayland);
    ASSERT_TRUE(focus("^After reading$"));
    desktop::wtype("typed after reading a page and a terminal", 25);
    EXPECT_TRUE(desktop::waitUntil([&] { return postsOf("typed after reading a page and a terminal") > 0; }, Seconds(15)))
        << posted();
}

}  // namespace
