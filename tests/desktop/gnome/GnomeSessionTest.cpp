// The real agent in a headless GNOME Shell session (scripts/gnome-session): screen text through the
// real ScreenCast portal, its dialog answered as a screen-reader user would, kept across relaunches,
// recovered when PipeWire restarts and forgotten when the user stops it from the shell; check-ins that
// stay out of the scans and leave the focus alone; typed text from native GTK 3, GTK 4 and Firefox
// windows, passwords never; and, with no status area, the hint shown once and the window on a second
// launch.
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "desktop/Client.h"
#include "desktop/DesktopHarness.h"
#include "desktop/Gnome.h"
#include "desktop/wayland/WaylandClient.h"

namespace {

using desktop::Agent;
using desktop::Agreed;
using desktop::Client;
using desktop::Json;
using desktop::Seconds;
using desktop::ShellWindow;
using desktop::TestBackend;
namespace fs = std::filesystem;

constexpr const char* kSessionLine =
    "SESSION session=wayland desktop=GNOME workspace=atspi capture=portal+pipewire "
    "panels=xwayland-override-redirect";

class GnomeSession : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ws-gnome.XXXXXX";
        scratch = ::mkdtemp(pattern);
    }
    void TearDown() override {
        if (HasFailure()) {
            const std::string shot = "/tmp/ws-gnome-failure-" + std::to_string(::getpid()) + ".png";
            desktop::shellScreenshot(shot);
            std::printf("screen: %s\n%s", shot.c_str(), desktop::logTail(*agent).c_str());
        }
        agent.reset();
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }

    // The agent as the user left it: `agreed`, the one-time alerts seen unless `hint`. Its Qt
    // windows join AT-SPI from the start, so the tests can read them as a screen reader does.
    void makeAgent(Agreed agreed, bool hintSeen = true) {
        agent = std::make_unique<Agent>(backend.base(), true, agreed);
        if (hintSeen) desktop::skipReachHint(*agent);
        agent->setEnv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    }
    void startAgent() {
        ASSERT_TRUE(agent->start());
        ASSERT_TRUE(agent->waitForLog(kSessionLine, Seconds(5))) << "the session was not recognised";
        // A consenting user is never sent to grant access again.
        ASSERT_TRUE(agent->waitForLog("AX GRANTED", Seconds(20)));
        for (const auto& line : agent->log()) EXPECT_EQ(line.find("ax=false"), std::string::npos) << line;
    }

    // A native Wayland window of the session, focused.
    ShellWindow focused(const std::string& title) {
        const auto found = desktop::waitForShellWindow("^" + title + "$", Seconds(20));
        if (!found) {
            ADD_FAILURE() << title << " never showed";
            return {};
        }
        EXPECT_TRUE(found->wayland) << title << " is not a native Wayland window";
        EXPECT_TRUE(desktop::shellFocus(*found)) << title << " did not take the focus";
        return *found;
    }

    std::size_t scansWith(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& r : backend.requests("/api/scan")) n += r.body.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
    std::string scans() const {
        std::string all;
        for (const auto& r : backend.requests("/api/scan")) all += "  " + r.body.substr(0, 240) + "\n";
        return all;
    }

    // A window of the agent read over AT-SPI ({"labels": [...], "buttons": [...]}), pressing `button`.
    std::optional<Json> agentWindow(const std::string& title, const std::string& button = "") const {
        std::optional<Json> read;
        desktop::waitUntil(
            [&] {
                const Json j = Json::parse(
                    desktop::sh("/usr/bin/python3 " + desktop::shellQuote(desktop::sourceDir() + "/tests/desktop/gnome/agent_window.py") +
                                " " + std::to_string(agent->pid()) + " " + desktop::shellQuote(title) +
                                (button.empty() ? "" : " " + desktop::shellQuote(button)) + " 2>/dev/null"),
                    nullptr, false);
                if (j.is_object()) read = j;
                return read.has_value();
            },
            Seconds(10));
        return read;
    }
    ::testing::AssertionResult windowSays(const std::string& title, const std::string& fragment) const {
        std::optional<Json> read;
        const bool says = desktop::waitUntil(
            [&] {
                read = agentWindow(title);
                if (read)
                    for (const auto& label : (*read)["labels"])
                        if (label.get<std::string>().find(fragment) != std::string::npos) return true;
                return false;
            },
            Seconds(10));
        if (says) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "\"" << title << "\" does not say \"" << fragment << "\": "
                                             << (read ? read->dump() : std::string("no such window")) << "\n"
                                             << desktop::accessibleApplications();
    }
    // The privacy window, opened as the user does from the agent's window ("Re-check permission").
    bool openPrivacyWindow() {
        if (agent->launchAgain({}) != 0) return false;
        return agentWindow("Wellspire Agent", "Wellspire Privacy…").has_value() &&
               desktop::waitForShellWindow("^Wellspire Privacy", Seconds(10)).has_value();
    }
    std::size_t logLines(const std::string& start) const {
        std::size_t n = 0;
        for (const auto& line : agent->log()) n += line.rfind(start, 0) == 0 ? 1 : 0;
        return n;
    }
    std::string savedToken() const {
        std::ifstream ini(agent->configDir() + "/wellspire-agent/agent.ini");
        std::string line;
        while (std::getline(ini, line))
            if (line.rfind("screenCastToken=", 0) == 0) return line.substr(16);
        return "";
    }

    TestBackend backend;
    std::unique_ptr<Agent> agent;
    std::string scratch;
};

// The shell's PipeWire, killed as a crash would; the session brings it back as its user service would.
void crashPipeWire() {
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    for (const auto& pid : {desktop::sh("pgrep -x pipewire")}) {
        std::istringstream all(pid);
        std::string one;
        while (all >> one) {
            std::ifstream environ("/proc/" + one + "/environ");
            std::string env((std::istreambuf_iterator<char>(environ)), {});
            if (env.find("XDG_RUNTIME_DIR=" + runtime + '\0') != std::string::npos) ::kill(std::stoi(one), SIGKILL);
        }
    }
}

TEST_F(GnomeSession, ScreenTextThroughTheRealPortalWithCheckInsLeftOut) {
    // Every scan is a crisis: the check-in shows at once, and must never be read back.
    backend.reply("/api/scan", {{"tier3", true}, {"level", 3}, {"hits", {{{"tier", "3"}, {"phrase", "lantern harbor"}}}}});
    Client probe(desktop::gtkProbe({"--title", "Reading probe", "--label", "Lantern harbor morning", "--entries",
                                    "--size", "900x400"}),
                 desktop::kGtkWayland);
    const auto reading = focused("Reading probe");
    // Maximised, as the check-in then lies over it.
    desktop::shellChord("logo", "Up");
    makeAgent({});
    startAgent();
    ASSERT_TRUE(desktop::answerShareDialog(true)) << "the portal's dialog never came, or could not be answered";
    ASSERT_TRUE(agent->waitForLog("CAPTURE sharing", Seconds(15)));
    ASSERT_TRUE(desktop::waitUntil([&] { return scansWith("Lantern harbor") > 0; }, Seconds(25)))
        << "the window's text never reached the scan:\n" << scans();

    std::optional<ShellWindow> panel;
    ASSERT_TRUE(desktop::waitUntil(
        [&] {
            for (const auto& w : desktop::shellWindows())
                if (w.pid == agent->pid() && w.type == 15 && w.rect.width > 200) panel = w;
            return panel.has_value();
        },
        Seconds(15)))
        << "no check-in panel showed";
    desktop::settle(Seconds(1));
    const auto front = desktop::focusedShellWindow();
    EXPECT_TRUE(front && front->id == reading.id) << "the check-in took the focus: " << (front ? front->title : "none");
    EXPECT_NEAR(panel->rect.x + panel->rect.width, 1920 - 22, 8);
    EXPECT_LT(panel->rect.y, 80);

    // The agent's own window opens beside it (a second launch), and the user goes back to typing.
    // While it has the focus nothing is captured; once behind, it is left out like the check-in.
    // (A reading of an earlier capture may still end and be sent meanwhile: it is paced while
    // the machine is busy.)
    ASSERT_EQ(agent->launchAgain({}), 0);
    const auto status = desktop::waitForShellWindow("^Wellspire Agent$", Seconds(10));
    ASSERT_TRUE(status) << "no window on a second launch";
    desktop::settle(Seconds(3));
    const std::size_t whileInFront = desktop::logLines(*agent, "OCR captured");
    desktop::settle(Seconds(3));
    EXPECT_EQ(desktop::logLines(*agent, "OCR captured"), whileInFront) << "captured while the agent's own window had the focus";
    ASSERT_TRUE(desktop::shellFocus(reading));
    desktop::settle(Seconds(2));
    const auto back = desktop::focusedShellWindow();
    ASSERT_TRUE(back && back->id == reading.id) << "the focus went to " << (back ? back->title : "nothing");
    desktop::shellType("Morning tide river");
    const bool tide = desktop::waitUntil([&] { return scansWith("tide") > 0; }, Seconds(25));
    desktop::shellScreenshot("/tmp/gn-tide.png");
    ASSERT_TRUE(tide) << "nothing typed after the check-in showed was read:\n" << scans();
    // Back to its own size, the window leaves the agent's in sight: still only the client is read.
    desktop::shellChord("logo", "Down");
    desktop::shellMove(*status, 1000, 400);
    ASSERT_TRUE(desktop::shellFocus(reading));
    desktop::shellType(" by the sea");
    EXPECT_TRUE(desktop::waitUntil([&] { return scansWith("sea") > 0; }, Seconds(25))) << scans();
    for (const auto& fragment : {"loop someone", "988", "carry it alone", "Wellspire", "test alert", "dashboard"})
        EXPECT_EQ(scansWith(fragment), 0u) << "the agent's own text was read: \"" << fragment << "\"\n" << scans();
}

TEST_F(GnomeSession, TheGrantOutlivesARelaunchAndPipeWireButNotTheUsersStop) {
    Client probe(desktop::gtkProbe({"--title", "Sharing probe", "--label", "Copper kettle whistle", "--entries",
                                    "--size", "900x400"}),
                 desktop::kGtkWayland);
    focused("Sharing probe");
    makeAgent({});
    startAgent();
    ASSERT_TRUE(desktop::answerShareDialog(true));
    ASSERT_TRUE(agent->waitForLog("CAPTURE sharing", Seconds(15)));
    ASSERT_FALSE(savedToken().empty()) << "the portal's restore token was not kept";

    // Relaunched: the kept grant shares again without a dialog.
    ASSERT_TRUE(agent->relaunch());
    ASSERT_TRUE(agent->waitForLog("CAPTURE sharing", Seconds(15))) << "the relaunch did not share silently";
    EXPECT_FALSE(desktop::shareDialogShown());
    ASSERT_TRUE(desktop::waitUntil([&] { return scansWith("Copper kettle") > 0; }, Seconds(25))) << scans();

    // PipeWire crashes and comes back: the agent shares again by itself, with no dialog.
    crashPipeWire();
    ASSERT_TRUE(agent->waitForLog("CAPTURE lost", Seconds(15))) << "the lost stream went unnoticed";
    const std::size_t sharedBefore = logLines("CAPTURE sharing");
    ASSERT_TRUE(desktop::waitUntil([&] { return logLines("CAPTURE sharing") > sharedBefore; }, Seconds(45)))
        << "the sharing was not recovered";
    EXPECT_FALSE(desktop::shareDialogShown());
    focused("Sharing probe");
    desktop::shellType("after the restart");
    EXPECT_TRUE(desktop::waitUntil([&] { return scansWith("restart") > 0; }, Seconds(25))) << scans();

    // The user stops it from the shell: the grant is forgotten, the status turns yellow, the window
    // explains, and opening it asks again.
    const std::size_t askedBeforeStop = logLines("CAPTURE asking");
    ASSERT_GE(desktop::shellStopSharing(), 1);
    ASSERT_TRUE(agent->waitForLog("CAPTURE stopped", Seconds(10)));
    EXPECT_TRUE(savedToken().empty()) << "the stopped grant's token was kept";
    ASSERT_EQ(agent->launchAgain({}), 0);
    EXPECT_TRUE(windowSays("Wellspire Agent", "⚠ Grant Screen Recording")) << "the status is not yellow";
    EXPECT_EQ(logLines("CAPTURE asking"), askedBeforeStop) << "asked again without the user";
    ASSERT_TRUE(openPrivacyWindow());
    EXPECT_TRUE(windowSays("Wellspire Privacy", "stopped from the desktop"));
    EXPECT_TRUE(desktop::answerShareDialog(true)) << "opening the window did not ask again";
    EXPECT_TRUE(agent->waitForLog("CAPTURE sharing", Seconds(15)));
}

TEST_F(GnomeSession, ADeclinedDialogIsExplainedAndAskedAgainOnlyWhenTheUserComes) {
    makeAgent({});
    startAgent();
    ASSERT_TRUE(desktop::answerShareDialog(false));
    ASSERT_TRUE(agent->waitForLog("CAPTURE declined", Seconds(10)));
    desktop::settle(Seconds(6));
    EXPECT_FALSE(desktop::shareDialogShown()) << "asked again without the user";
    ASSERT_EQ(agent->launchAgain({}), 0);
    EXPECT_TRUE(windowSays("Wellspire Agent", "⚠ Grant Screen Recording")) << "the status is not yellow";
    ASSERT_TRUE(openPrivacyWindow());
    EXPECT_TRUE(windowSays("Wellspire Privacy", "was not shared in the desktop’s dialog"));
    EXPECT_TRUE(desktop::answerShareDialog(true)) << "opening the window did not ask again";
    EXPECT_TRUE(agent->waitForLog("CAPTURE sharing", Seconds(15)));
}

TEST_F(GnomeSession, AListedApplicationIsNeverReadAndNoScreenIsCapturedWhileItIsOpen) {
    const char* data = std::getenv("XDG_DATA_HOME");
    ASSERT_TRUE(data && *data);
    const fs::path entry = fs::path(data) / "applications/org.example.Diary.desktop";
    fs::create_directories(entry.parent_path());
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=Diary\nExec=diary\n";
    Client other(desktop::gtkProbe({"--title", "Other probe", "--label", "Lantern morning", "--size", "700x300"}),
                 desktop::kGtkWayland);
    focused("Other probe");
    makeAgent({});
    std::ofstream(agent->configDir() + "/wellspire-agent/agent.ini", std::ios::app)
        << "\n[privacy]\nneverRead=org.example.Diary\n";
    startAgent();
    ASSERT_TRUE(desktop::answerShareDialog(true));
    ASSERT_TRUE(desktop::waitUntil([&] { return scansWith("Lantern") > 0; }, Seconds(25))) << scans();

    {
        // Launched from its desktop entry, as the shell launches applications.
        const auto diaryArgs = desktop::gtkProbe({"--title", "Diary probe", "--label", "Quince harbor", "--entries",
                                                  "--size", "700x300", "--position", "900,500"});
        std::string command = "GIO_LAUNCHED_DESKTOP_FILE=" + desktop::shellQuote(entry.string()) +
                              " GIO_LAUNCHED_DESKTOP_FILE_PID=$$ exec";
        for (const auto& a : diaryArgs) command += " " + desktop::shellQuote(a);
        Client diary({"/bin/sh", "-c", command}, desktop::kGtkWayland);
        focused("Diary probe");
        desktop::shellType("my diary stays mine");
        ASSERT_TRUE(agent->waitForLog("never read is open", Seconds(15))) << "a display was captured beside it";
        const std::size_t before = backend.count("/api/scan");
        desktop::settle(Seconds(4));
        EXPECT_EQ(backend.count("/api/scan"), before);
    }
    // Closed: the screen is read again.
    focused("Other probe");
    const std::size_t closedAt = backend.count("/api/scan");
    desktop::shellChord("logo", "Up");
    EXPECT_TRUE(desktop::waitUntil([&] { return backend.count("/api/scan") > closedAt; }, Seconds(25)))
        << "reading did not resume once the application closed";
    EXPECT_EQ(scansWith("Quince"), 0u) << scans();
    for (const auto& r : backend.requests("/api/monitor")) EXPECT_EQ(r.body.find("diary"), std::string::npos) << r.body;
}

TEST_F(GnomeSession, TypedTextFromNativeClientsAndNeverAPassword) {
    makeAgent({true, false});
    startAgent();
    auto postsOf = [&](const std::string& text) {
        std::size_t n = 0;
        for (const auto& r : backend.requests("/api/monitor")) n += r.json() == Json{{"text", text}} ? 1 : 0;
        return n;
    };
    auto typeLineThenSecret = [&](const std::string& client) {
        const std::string line = client + " on GNOME: the week was long and heavy";
        desktop::shellType("  " + line + "  ");
        EXPECT_TRUE(desktop::waitUntil([&] { return postsOf(line) > 0; }, Seconds(15))) << client << " text never posted";
        desktop::shellKeys({"Tab"});
        desktop::shellType("hunter2 " + client + " battery staple");
        desktop::settle(Seconds(5));
        EXPECT_EQ(postsOf(line), 1u) << client;
    };
    {
        Client gtk3(desktop::gtkProbe({"--title", "Gtk3 gnome probe", "--entries"}), desktop::kGtkWayland);
        focused("Gtk3 gnome probe");
        typeLineThenSecret("GTK 3");
    }
    {
        Client gtk4({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_gtk4.py", "--title",
                     "Gtk4 gnome probe"},
                    desktop::kGtkWayland);
        focused("Gtk4 gnome probe");
        typeLineThenSecret("GTK 4");
    }
    {
        const std::string profile = scratch + "/profile";
        fs::create_directories(profile);
        std::ofstream(profile + "/user.js") << "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                               "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
                                               "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                                               "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n";
        std::ofstream(scratch + "/page.html")
            << "<!doctype html><title>Write here</title><textarea autofocus rows=4 cols=60></textarea><br>"
               "<input type=password size=60>";
        Client firefox({"firefox-esr", "--no-remote", "--new-instance", "--profile", profile,
                        "file://" + scratch + "/page.html"},
                       {{"MOZ_ENABLE_WAYLAND", "1"}});
        const auto window = desktop::waitForShellWindow("^Write here — Mozilla Firefox$", Seconds(60));
        ASSERT_TRUE(window) << "Firefox never showed its page";
        focused(window->title);
        desktop::settle(Seconds(1));
        typeLineThenSecret("Firefox");
    }
    for (const auto& r : backend.requests("/api/monitor")) EXPECT_EQ(r.body.find("hunter2"), std::string::npos) << r.body;
}

TEST_F(GnomeSession, BehaviourReportCarriesActivationsAndDeletesFromGtk4) {
    Client first({"/usr/bin/python3", desktop::sourceDir() + "/tests/desktop/probe_gtk4.py", "--title", "Usage GTK4"},
                 desktop::kGtkWayland);
    Client second(desktop::gtkProbe({"--title", "Usage GTK3", "--entries"}), desktop::kGtkWayland);
    makeAgent({true, false});
    startAgent();
    focused("Usage GTK3");
    desktop::settle(Seconds(1.5));
    focused("Usage GTK4");
    desktop::settle(Seconds(1));
    desktop::shellType("abc");
    desktop::shellKeys({"BackSpace"});
    desktop::shellType("d");
    ASSERT_TRUE(backend.waitFor("/api/behavioral/log", 1, Seconds(55)));
    const auto report = backend.requests("/api/behavioral/log").front().json();
    EXPECT_GT(report.value("tab_switches", 0.0), 0.0) << report.dump();
    EXPECT_DOUBLE_EQ(report.value("backspace_rate", -1.0), 0.2) << report.dump();
}

TEST_F(GnomeSession, WithNoStatusAreaTheHintShowsOnceAndASecondLaunchOpensTheWindow) {
    makeAgent({false, false}, false);
    ASSERT_TRUE(agent->start());
    auto hints = [] {
        std::size_t n = 0;
        for (const auto& note : desktop::shellNotifications()) n += note.find("Wellspire") != std::string::npos ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(desktop::waitUntil([&] { return hints() == 1; }, Seconds(25))) << "no word on how to reach the agent";
    ASSERT_TRUE(agent->relaunch());
    desktop::settle(Seconds(6));
    EXPECT_EQ(hints(), 1u) << "the hint came again";
    ASSERT_EQ(agent->launchAgain({}), 0);
    const auto window = desktop::waitForShellWindow("^Wellspire Agent$", Seconds(10));
    ASSERT_TRUE(window) << "no window on a second launch";
    EXPECT_EQ(window->pid, agent->pid());
}

}  // namespace
