// The real agent reading what people type in the applications they write in, each started as a user
// starts it (no accessibility switch of its own): Chromium, Firefox, GTK 3 and 4, Qt 5 and 6. Every
// field kind is typed into and must reach "/api/monitor" once, trimmed; a password field never.
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

    std::string pageUrl() {
        std::ofstream(scratch.path + "/page.html") << kPage;
        return "file://" + scratch.path + "/page.html";
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

    void typeSecret(const std::string& secret) {
        desktop::xdotool("type --delay 25 " + desktop::shellQuote(secret));
        secrets.push_back(secret);
    }

    void tab() { desktop::xdotool("key Tab"); }
    void typeIntoEachWebField(const std::string& browser);
    void typeIntoEachToolkitField(const std::string& toolkit);

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

// A web page's textarea, text input, password input and contenteditable, in tab order.
void TypedTextClients::typeIntoEachWebField(const std::string& browser) {
    typeAndSee(browser + " textarea", "  " + browser + " textarea: the week was long and heavy  ");
    tab();
    typeAndSee(browser + " input", " " + browser + " input line about a quiet evening ");
    tab();
    typeSecret("hunter2 " + browser + " battery staple");
    tab();
    // Each line of a rich editor is an object of its own.
    typeAndSee(browser + " contenteditable", browser + " editor message\nto a friend tonight");
    expectEachOnceAndNoSecret();
}

// A toolkit window's entry, password entry and multi-line text field, in tab order.
void TypedTextClients::typeIntoEachToolkitField(const std::string& toolkit) {
    typeAndSee(toolkit + " entry", "  " + toolkit + " entry: the week was long and heavy  ");
    tab();
    typeSecret("hunter2 " + toolkit + " battery staple");
    tab();
    typeAndSee(toolkit + " text field", toolkit + " text field note about a quiet evening");
    expectEachOnceAndNoSecret();
}

TEST_F(TypedTextClients, Chromium) {
    std::vector<std::string> argv{"chromium", "--user-data-dir=" + scratch.path + "/profile", "--no-first-run",
                                  "--no-default-browser-check", "--disable-background-networking",
                                  "--disable-component-update", "--disable-sync", "--disable-gpu",
                                  "--password-store=basic", pageUrl()};
    if (::geteuid() == 0) argv.insert(argv.begin() + 1, "--no-sandbox");  // Chromium refuses root otherwise
    Client browser(argv);
    ASSERT_TRUE(activate("^Write here - Chromium$"));
    typeIntoEachWebField("Chromium");
}

TEST_F(TypedTextClients, Firefox) {
    const std::string profile = scratch.path + "/profile";
    fs::create_directories(profile);
    std::ofstream(profile + "/user.js") << "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                           "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
                                           "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                                           "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
                                           "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n";
    Client browser({"firefox-esr", "--no-remote", "--new-instance", "--profile", profile, pageUrl()});
    ASSERT_TRUE(activate("^Write here — Mozilla Firefox$"));
    typeIntoEachWebField("Firefox");
}

TEST_F(TypedTextClients, Gtk4) {
    Client probe({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_gtk4.py", "--title", "Gtk4 probe"});
    ASSERT_TRUE(activate("^Gtk4 probe$"));
    typeIntoEachToolkitField("GTK 4");
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
