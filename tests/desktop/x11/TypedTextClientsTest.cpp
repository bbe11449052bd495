// The real agent reading what people type in the applications they write in, each started as a user
// starts it (no accessibility switch of its own): Chromium, Firefox, GTK 3 and 4, Qt 5 and 6. Every
// field kind is typed into and must reach "/api/monitor" once, trimmed; a password field never, not
// when left in its field and not when shown with its toggle. What has the focus without being a
// field (a page being read, a terminal) is never read.
#include <algorithm>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
using SteadyClock = std::chrono::steady_clock;

// A folder that goes away with the test.
struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/ws-client.XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

// Each field kind of a web page, in tab order, the first one focused.
constexpr const char* kPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>Write here</title></head><body>
<textarea autofocus rows="4" cols="60"></textarea><br>
<input type="text" size="60"><br>
<input type="password" size="60"><br>
<div contenteditable="true" style="border:1px solid #888; min-height:3em"></div>
<script>
// Alt+R shows the password, as a "show password" toggle does, without moving the focus.
document.addEventListener('keydown', e => {
  if (e.altKey && e.key === 'r') { document.querySelector('input[type=password]').type = 'text'; e.preventDefault(); }
});
</script>
</body></html>
)";

class TypedTextClients : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));
    }
    void TearDown() override {
        for (const auto& [client, seconds] : latencies)
            std::printf("[ latency  ] %s: %.2f s from the last keystroke to the post\n", client.c_str(), seconds);
    }

    std::string pageUrl(const char* page = kPage) {
        std::ofstream(scratch.path + "/page.html") << page;
        return "file://" + scratch.path + "/page.html";
    }

    std::vector<std::string> chromium(const std::string& url) {
        std::vector<std::string> argv{"chromium", "--user-data-dir=" + scratch.path + "/profile", "--no-first-run",
                                      "--no-default-browser-check", "--disable-background-networking",
                                      "--disable-component-update", "--disable-sync", "--disable-gpu",
                                      "--password-store=basic", url};
        if (::geteuid() == 0) argv.insert(argv.begin() + 1, "--no-sandbox");  // Chromium refuses root otherwise
        return argv;
    }

    std::vector<std::string> firefox(const std::string& url) {
        const std::string profile = scratch.path + "/profile";
        fs::create_directories(profile);
        std::ofstream(profile + "/user.js") << "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                               "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
                                               "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                                               "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
                                               "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n";
        return {"firefox-esr", "--no-remote", "--new-instance", "--profile", profile, url};
    }

    // Clicks into the middle of the page's text, then moves the focus to its link.
    void readThePage(const std::string& title) {
        auto window = desktop::waitForWindow(title, Seconds(5));
        ASSERT_TRUE(window);
        desktop::xdotool("mousemove --window " + *window + " 200 170 click 1");
        desktop::settle(Seconds(4));
        desktop::xdotool("key Tab");
        desktop::settle(Seconds(4));
    }

    bool activate(const std::string& title) {
        auto window = desktop::waitForWindow(title, Seconds(40));
        if (!window) return false;
        desktop::xdotool("windowactivate --sync " + *window);
        return desktop::waitUntil([&] { return desktop::sh("xdotool getactivewindow 2>/dev/null").find(*window) == 0; },
                                  Seconds(5));
    }

    std::size_t postsOf(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& r : backend.requests("/api/monitor")) n += r.json() == desktop::Json{{"text", text}} ? 1 : 0;
        return n;
    }

    // Types `padded` into the focused field and waits for its trimmed form to be posted.
    void typeAndSee(const std::string& what, const std::string& padded) {
        const std::string trimmed = padded.substr(padded.find_first_not_of(' '),
                                                  padded.find_last_not_of(' ') - padded.find_first_not_of(' ') + 1);
        // Line by line, with the Return key between, as people type.
        std::size_t from = 0;
        for (auto end = padded.find('\n'); end != std::string::npos; from = end + 1, end = padded.find('\n', from))
        {
            desktop::xdotool("type --delay 25 " + desktop::shellQuote(padded.substr(from, end - from)));
            desktop::xdotool("key Return");
        }
        desktop::xdotool("type --delay 25 " + desktop::shellQuote(padded.substr(from)));
        const auto lastKey = SteadyClock::now();
        // Chromium does not always give a rich editor's second line a block of its own, and then its
        // text runs on from the first without a break; either reading is what the page exposes.
        std::string joined = trimmed;
        joined.erase(std::remove(joined.begin(), joined.end(), '\n'), joined.end());
        const auto posted = [&] { return postsOf(trimmed) > 0 ? trimmed : postsOf(joined) > 0 ? joined : std::string(); };
        ASSERT_TRUE(desktop::waitUntil([&] { return !posted().empty(); }, Seconds(15)))
            << what << " never posted; the posts: " << postedTexts()
            << "\napplications on the accessibility bus: " << desktop::accessibleApplications();
        const std::string text = posted();
        for (const auto& r : backend.requests("/api/monitor"))
            if (r.json() == desktop::Json{{"text", text}}) {
                latencies.emplace_back(what, std::chrono::duration<double>(r.at - lastKey).count());
                break;
            }
        sent.push_back(text);
    }

    std::string postedTexts() const {
        std::string all;
        for (const auto& r : backend.requests("/api/monitor")) all += r.body + " ";
        return all;
    }

    // A password typed and left in its field, long enough for any reading to settle; then, where the
    // client has one, shown with its "show password" toggle and left again.
    void typeSecret(const std::string& secret, bool reveal) {
        desktop::xdotool("type --delay 25 " + desktop::shellQuote(secret));
        secrets.push_back(secret);
        desktop::settle(Seconds(5));
        if (!reveal) return;
        desktop::xdotool("key alt+r");
        desktop::settle(Seconds(4));
    }

    void tab() { desktop::xdotool("key Tab"); }
    void typeIntoEachWebField(const std::string& browser);
    void typeIntoEachToolkitField(const std::string& toolkit, bool reveal = true);

    // Later ticks read the same texts again: still one post each, and nothing of a secret.
    void expectEachOnceAndNoSecret() {
        desktop::settle(Seconds(3.5));
        for (const auto& text : sent) EXPECT_EQ(postsOf(text), 1u) << text;
        for (const auto& r : backend.requests("/api/monitor"))
            for (const auto& secret : secrets)
                EXPECT_EQ(r.body.find(secret.substr(0, 7)), std::string::npos) << r.body;
    }

    TestBackend backend;
    Agent agent{backend.base()};
    Scratch scratch;
    std::vector<std::string> sent, secrets;
    std::vector<std::pair<std::string, double>> latencies;
};

// A page to read, with no field: clicked, its text has the focus, then its link.
constexpr const char* kReadingPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>Read here</title></head><body style="font-size:20px">
<h1>A page being read</h1>
<p>This paragraph is something the user reads and never writes, so it is not typed text.</p>
<p><a href="#more">a link further down the page</a></p>
</body></html>
)";

// A web page's textarea, text input, password input and contenteditable, in tab order.
void TypedTextClients::typeIntoEachWebField(const std::string& browser) {
    typeAndSee(browser + " textarea", "  " + browser + " textarea: the week was long and heavy  ");
    tab();
    typeAndSee(browser + " input", " " + browser + " input line about a quiet evening ");
    tab();
    typeSecret("hunter2 " + browser + " battery staple", true);
    tab();
    // Each line of a rich editor is an object of its own.
    typeAndSee(browser + " contenteditable", browser + " editor message\nto a friend tonight");
    expectEachOnceAndNoSecret();
}

// A toolkit window's entry, password entry and multi-line text field, in tab order.
void TypedTextClients::typeIntoEachToolkitField(const std::string& toolkit, bool reveal) {
    typeAndSee(toolkit + " entry", "  " + toolkit + " entry: the week was long and heavy  ");
    tab();
    typeSecret("hunter2 " + toolkit + " battery staple", reveal);
    tab();
    typeAndSee(toolkit + " text field", toolkit + " text field note about a quiet evening");
    expectEachOnceAndNoSecret();
}

TEST_F(TypedTextClients, Chromium) {
    Client browser(chromium(pageUrl()));
    ASSERT_TRUE(activate("^Write here - Chromium$"));
    typeIntoEachWebField("Chromium");
}

TEST_F(TypedTextClients, Firefox) {
    Client browser(firefox(pageUrl()));
    ASSERT_TRUE(activate("^Write here — Mozilla Firefox$"));
    typeIntoEachWebField("Firefox");
}

TEST_F(TypedTextClients, APageBeingReadOrATerminalIsNeverRead) {
    {
        Client browser(chromium(pageUrl(kReadingPage)));
        ASSERT_TRUE(activate("^Read here - Chromium$"));
        readThePage("^Read here - Chromium$");
    }
    fs::remove_all(scratch.path + "/profile");
    {
        Client browser(firefox(pageUrl(kReadingPage)));
        ASSERT_TRUE(activate("^Read here — Mozilla Firefox$"));
        readThePage("^Read here — Mozilla Firefox$");
    }
    {
        Client terminal({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_terminal.py", "--title",
                         "Terminal probe"});
        ASSERT_TRUE(activate("^Terminal probe$"));
        desktop::xdotool("type --delay 25 'a line typed into the terminal, echoed as its output'");
        desktop::xdotool("key Return");
        desktop::settle(Seconds(5));
    }
    EXPECT_EQ(backend.count("/api/monitor"), 0u) << postedTexts();
    // The agent did read in the meantime: a field typed into afterwards is posted.
    desktop::ProbeWindow probe({"--title", "After reading", "--entries"});
    ASSERT_TRUE(activate("^After reading$"));
    typeAndSee("GTK 3 entry after reading", "typed after reading a page and a terminal");
}

TEST_F(TypedTextClients, Gtk4) {
    Client probe({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_gtk4.py", "--title", "Gtk4 probe"});
    ASSERT_TRUE(activate("^Gtk4 probe$"));
    // Its password entry's peek icon has no key of its own.
    typeIntoEachToolkitField("GTK 4", false);
}

TEST_F(TypedTextClients, Gtk3) {
    desktop::ProbeWindow probe({"--title", "Gtk3 probe", "--entries"});
    ASSERT_TRUE(activate("^Gtk3 probe$"));
    typeIntoEachToolkitField("GTK 3");
}

TEST_F(TypedTextClients, Qt6AndQt5) {
    for (const std::string version : {"6", "5"}) {
        Client probe({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_qt.py", "--qt", version,
                      "--title", "Qt" + version + " probe"});
        ASSERT_TRUE(activate("^Qt" + version + " probe$"));
        typeIntoEachToolkitField("Qt " + version);
    }
}

}  // namespace
