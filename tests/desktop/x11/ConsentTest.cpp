// The agent asks before it reads: a new user meets the privacy window and nothing is read, captured
// or sent until a switch is turned on; each switch starts only its own reading, and turning it off
// stops that reading at once. Check-ins are there for screen-reader users too.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"

namespace {

using desktop::Agent;
using desktop::Agreed;
using desktop::Seconds;
using desktop::TestBackend;

bool busEnabled() {
    return desktop::sh("gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus --method "
                       "org.freedesktop.DBus.Properties.Get org.a11y.Status IsEnabled 2>/dev/null")
               .find("true") != std::string::npos;
}

void setBus(bool on) {
    desktop::sh(std::string("gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus --method "
                            "org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled '<") +
                (on ? "true" : "false") + ">' >/dev/null 2>&1");
}

// Keys typed into the privacy window, as a user working it with the keyboard.
void inPrivacyWindow(const std::string& keys) {
    auto window = desktop::waitForWindow("^Wellspire Privacy$", Seconds(10));
    ASSERT_TRUE(window);
    desktop::xdotool("windowactivate --sync " + *window);
    desktop::settle(Seconds(0.3));
    desktop::xdotool("key --delay 200 " + keys);
    desktop::settle(Seconds(0.3));
}

// The privacy line of the status menu: just above "Quit".
void openPrivacyFromTheMenu() {
    ASSERT_TRUE(desktop::openStatusMenu()) << "no status icon in the tray";
    desktop::settle(Seconds(0.5));
    desktop::xdotool("key Up Up Return");
    ASSERT_TRUE(desktop::waitForWindow("^Wellspire Privacy$", Seconds(5)));
}

std::string settingsFile(const Agent& agent) {
    std::ifstream in(agent.configDir() + "/wellspire-agent/agent.ini");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t linesWith(const Agent& agent, const std::string& fragment) {
    std::size_t n = 0;
    for (const auto& line : agent.log()) n += line.find(fragment) != std::string::npos;
    return n;
}

// The status-area host of this display only.
void stopTrayHost() {
    desktop::sh("for p in $(pgrep -x trayer); do tr '\\0' '\\n' </proc/$p/environ | grep -qx \"DISPLAY=$DISPLAY\" && "
                "kill $p; done; sleep 0.3");
}

bool focusIn(const desktop::ProbeWindow& probe) {
    return desktop::sh("xdotool getactivewindow 2>/dev/null").find(probe.window()) == 0u;
}

class ConsentTest : public ::testing::Test {
protected:
    // A status area to open the menu from (an earlier case may have taken it away).
    void SetUp() override { desktop::ensureTrayHost(); }
    TestBackend backend;
};

TEST_F(ConsentTest, ANewUserIsAskedFirstAndEachSwitchStartsOnlyItsOwnReading) {
    setBus(false);
    desktop::ProbeWindow probe({"--title", "Consent probe", "--entries", "--position", "100,300"});
    ASSERT_TRUE(probe.waitShown("Consent probe"));
    Agent agent(backend.base(), true, Agreed{false, false});
    ASSERT_TRUE(agent.start());
    EXPECT_EQ(linesWith(agent, " ax=false screen=false"), 1u);
    ASSERT_TRUE(desktop::waitForWindow("^Wellspire Privacy$", Seconds(10))) << "the privacy window was not shown";

    ASSERT_TRUE(probe.activate());
    desktop::xdotool("type --delay 20 'nothing of this may be read yet'");
    desktop::settle(Seconds(6));  // three trust polls, five capture cycles
    EXPECT_EQ(linesWith(agent, "OCR captured"), 0u);
    EXPECT_EQ(linesWith(agent, "AX GRANTED"), 0u);
    EXPECT_EQ(backend.count("/api/monitor"), 0u);
    EXPECT_EQ(backend.count("/api/scan"), 0u);
    EXPECT_FALSE(busEnabled()) << "the accessibility bus was switched on without agreement";

    // Screen text alone: captures start (not of the agent's own window), typed text stays unread and
    // the bus off.
    inPrivacyWindow("alt+s");
    EXPECT_NE(settingsFile(agent).find("screenText=true"), std::string::npos);
    ASSERT_TRUE(probe.activate());
    EXPECT_TRUE(agent.waitForLog("OCR captured", Seconds(10)));
    desktop::xdotool("type --delay 20 ' still not read'");
    desktop::settle(Seconds(4));
    EXPECT_EQ(linesWith(agent, "AX GRANTED"), 0u);
    EXPECT_EQ(backend.count("/api/monitor"), 0u);
    EXPECT_FALSE(busEnabled());

    // Typed text: the bus goes on, monitoring starts, and the field is read.
    inPrivacyWindow("alt+t");
    EXPECT_TRUE(agent.waitForLog("AX GRANTED", Seconds(10)));
    EXPECT_TRUE(busEnabled());
    EXPECT_NE(settingsFile(agent).find("typedText=true"), std::string::npos);
    // Back in their application, the user moves on to another field (past the password one).
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("key Tab Tab");
    desktop::xdotool("type --delay 20 'now the agent may read this field'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(12)));
    EXPECT_EQ(backend.requests("/api/monitor").front().json(),
              (desktop::Json{{"text", "now the agent may read this field"}}));
}

TEST_F(ConsentTest, TurningASwitchOffStopsItsReadingWithinATick) {
    desktop::ProbeWindow probe({"--title", "Withdraw probe", "--entries", "--position", "100,300"});
    ASSERT_TRUE(probe.waitShown("Withdraw probe"));
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("type --delay 20 'read while I agree to it'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(10)));
    ASSERT_TRUE(agent.waitForLog("OCR captured", Seconds(10)));

    openPrivacyFromTheMenu();
    inPrivacyWindow("alt+t alt+s");
    const auto settings = settingsFile(agent);
    EXPECT_NE(settings.find("typedText=false"), std::string::npos);
    EXPECT_NE(settings.find("screenText=false"), std::string::npos);
    const std::size_t posts = backend.count("/api/monitor");
    const std::size_t captures = linesWith(agent, "OCR captured");

    ASSERT_TRUE(probe.activate());
    desktop::xdotool("key ctrl+a");
    desktop::xdotool("type --delay 20 'this must never leave the computer'");
    desktop::settle(Seconds(6));
    EXPECT_EQ(backend.count("/api/monitor"), posts);
    EXPECT_LE(linesWith(agent, "OCR captured"), captures + 1) << "captures went on after the switch was off";
    for (const auto& r : backend.requests("/api/monitor"))
        EXPECT_EQ(r.body.find("never leave"), std::string::npos);
}

TEST_F(ConsentTest, ACheckInIsReadAndDismissedThroughAccessibilityWithoutTakingFocus) {
    // A screen reader's desktop: its accessibility is on before the agent starts, and stays so.
    setBus(true);
    backend.reply("/api/monitor", {{"judgment", {{"surface", "gentle"}}}});
    desktop::ProbeWindow probe({"--title", "Reader probe", "--entries", "--position", "100,300"});
    ASSERT_TRUE(probe.waitShown("Reader probe"));
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("type --delay 20 'the last few days were heavy'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(12)));
    ASSERT_TRUE(desktop::waitForWindow("^Wellspire noticed something", Seconds(10)));

    const std::string reader = "/usr/bin/python3 " + desktop::sourceDir() + "/tests/desktop/atspi_panel.py ";
    std::string seen;
    desktop::waitUntil(
        [&] {
            seen = desktop::sh(reader + desktop::shellQuote("Wellspire noticed something") + " 2>/dev/null");
            return !seen.empty();
        },
        Seconds(10));
    ASSERT_FALSE(seen.empty()) << "the check-in is not in the accessibility tree";
    const auto panel = desktop::Json::parse(seen.substr(0, seen.find('\n')));
    EXPECT_EQ(panel["role"], "alert");
    EXPECT_EQ(panel["description"],
              "The last little while has leaned harder than your usual. Want to take a breath or talk it through?");
    std::vector<std::string> names;
    for (const auto& b : panel["buttons"]) {
        names.push_back(b["name"]);
        EXPECT_EQ(b["role"], "push button");
        EXPECT_NE(std::find(b["actions"].begin(), b["actions"].end(), "click"), b["actions"].end()) << b["name"];
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Ignore 1h", "Ignore 2h", "Dismiss", "Talk it through"}));

    int status = -1;
    desktop::sh(reader + desktop::shellQuote("Wellspire noticed something") + " Dismiss >/dev/null 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(desktop::waitUntil([] { return desktop::windowsNamed("^Wellspire noticed something").empty(); },
                                   Seconds(5)));
    EXPECT_EQ(desktop::sh("xdotool getactivewindow 2>/dev/null").find(probe.window()), 0u)
        << "the check-in took the keyboard focus";
}

TEST_F(ConsentTest, TheAccessibilitySwitchIsTheUsersAndGoesBackAsTheAgentFoundIt) {
    setBus(false);
    desktop::ProbeWindow probe({"--title", "Switch probe", "--entries", "--position", "100,300"});
    ASSERT_TRUE(probe.waitShown("Switch probe"));
    // A user who agreed in an earlier run is not asked again, however the bus answers at launch.
    Agent agent(backend.base(), false);
    ASSERT_TRUE(agent.start());
    EXPECT_EQ(linesWith(agent, " ax=true"), 1u) << "launch found no permission though the user agreed";
    EXPECT_TRUE(busEnabled());
    EXPECT_FALSE(desktop::waitForWindow("^Wellspire Agent$", Seconds(3))) << "the permission alert was shown";

    // Switched off under the agent: nothing is read; re-checking the permission shows the privacy
    // window, whose button switches it on again, and reading resumes.
    setBus(false);
    desktop::settle(Seconds(1));
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("key Tab Tab");
    desktop::xdotool("type --delay 20 'not while the switch is off'");
    desktop::settle(Seconds(5));
    EXPECT_EQ(backend.count("/api/monitor"), 0u) << "read with the desktop's accessibility switch off";
    ASSERT_TRUE(desktop::openStatusMenu());
    desktop::settle(Seconds(0.5));
    desktop::xdotool("key Down Down Down Return");  // "Re-check permission"
    inPrivacyWindow("alt+o");
    EXPECT_TRUE(desktop::waitUntil([] { return busEnabled(); }, Seconds(5)));
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("key ctrl+a");
    desktop::xdotool("type --delay 20 'read again once it is on'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(15)));
    EXPECT_EQ(backend.requests("/api/monitor").back().json(), (desktop::Json{{"text", "read again once it is on"}}));

    // Withdrawn: the switch the agent turned on goes off again; agreed again and quitting: the same.
    openPrivacyFromTheMenu();
    inPrivacyWindow("alt+t");
    EXPECT_TRUE(desktop::waitUntil([] { return !busEnabled(); }, Seconds(5))) << "the switch outlived the withdrawal";
    inPrivacyWindow("alt+t");
    EXPECT_TRUE(desktop::waitUntil([] { return busEnabled(); }, Seconds(5)));
    agent.stop();
    EXPECT_FALSE(busEnabled()) << "quitting left the switch on";
}

TEST_F(ConsentTest, TheHintAboutAMissingStatusAreaLeavesTheKeyboardInTheFieldTheUserTypesIn) {
    stopTrayHost();
    desktop::ProbeWindow probe({"--title", "Hint probe", "--entries", "--position", "100,300"});
    ASSERT_TRUE(probe.waitShown("Hint probe"));
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(probe.activate());
    desktop::xdotool("key Tab Tab");
    // No notification server either: the hint is a small window of its own, 10 s after the start.
    ASSERT_TRUE(desktop::waitForWindow("^Wellspire Agent$", Seconds(25))) << "no hint";
    desktop::settle(Seconds(0.5));
    EXPECT_TRUE(focusIn(probe)) << "the hint took the keyboard focus";
    desktop::xdotool("type --delay 20 'typed while the hint shows'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(15)));
    EXPECT_EQ(backend.requests("/api/monitor").back().json(), (desktop::Json{{"text", "typed while the hint shows"}}));
}

}  // namespace
