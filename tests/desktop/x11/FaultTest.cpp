// The real agent when things around it fail: a backend that is down, slow or talks nonsense, a
// locked or missing keyring, a log file that is not ours, the X server going away, an
// application that stops answering. Through all of it the agent keeps its timers going, shows no
// check-in nobody asked for and never writes the device token to its log.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"
#include "pairing/DeviceAuth.h"
#include "platform/linux/secrets/FileSecretStore.h"

namespace {

using desktop::freePort;

using desktop::Agent;
using desktop::Planned;
using desktop::Seconds;
using desktop::TestBackend;
namespace fs = std::filesystem;

constexpr const char* kLog = "/tmp/wellspire-agent.log";
const std::string kToken = "fault-token-Q7vZr2";
const std::string kPairUrl = "wellspire://pair?token=" + kToken;

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Check-in panels (the "Connected" notice of a pairing is not one).
std::vector<std::string> checkInPanels() { return desktop::windowsNamed("^Wellspire (—|noticed|is watching)"); }

std::size_t countLines(const Agent& agent, const std::string& fragment) {
    std::size_t n = 0;
    for (const auto& line : agent.log()) n += line.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

// The agent's timers still fire: the screen reader, started from one of them, logs new cycles.
bool keepsCycling(const Agent& agent, std::size_t cycles = 2, Seconds timeout = Seconds(12)) {
    const auto before = countLines(agent, "OCR captured");
    return desktop::waitUntil([&] { return countLines(agent, "OCR captured") >= before + cycles; }, timeout);
}

// The longest time between two requests in a row, and from `since` to the first.
Seconds longestGap(const std::vector<desktop::Recorded>& requests, std::chrono::steady_clock::time_point since) {
    Seconds longest{0};
    auto last = since;
    for (const auto& r : requests) {
        longest = std::max(longest, Seconds(r.at - last));
        last = r.at;
    }
    return longest;
}

// Ends the agent the way a logout does; false when it does not leave in time, or not cleanly.
bool quitsOnSigterm(Agent& agent) {
    ::kill(agent.pid(), SIGTERM);
    const auto status = agent.waitForExit(Seconds(5));
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

void forgetToken() {
    desktop::sh(std::string("secret-tool clear service ") + DeviceAuth::kTokenService + " account " +
                DeviceAuth::kTokenAccount + " 2>/dev/null");
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override { forgetToken(); }
    void TearDown() override {
        forgetToken();
        // Wherever else it went, the token never reached the log.
        EXPECT_EQ(fileText(kLog).find(kToken), std::string::npos);
    }
};

// ---- The backend ----

TEST_F(FaultTest, ABackendDownSlowOrTalkingNonsenseRaisesNothingAndThePollsGoOn) {
    desktop::ProbeWindow notes({"--title", "Fault notes", "--entries", "--position", "80,420", "--size", "700x200"});
    ASSERT_TRUE(notes.waitShown("Fault notes"));
    const int port = freePort();
    Agent agent("http://127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(agent.start({kPairUrl}));
    const auto launched = std::chrono::steady_clock::now();
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));

    // Down: connections are refused (the launch's preference request among them); it carries on.
    EXPECT_TRUE(keepsCycling(agent));

    // Up, with every reply of the next few broken in its own way. Taken at face value, each of
    // them would raise a crisis check-in.
    TestBackend backend(port);
    ASSERT_EQ(backend.port(), port);
    const std::string urgent = R"({"judgment":{"surface":"urgent","risk_level":"high"},"l1":{"tier3":true}})";
    const std::string urgentGating = R"({"urgent":true,"gentle":true})";
    backend.plan("/api/gating", {{Planned::Slow, urgentGating},
                                 {Planned::Huge, R"({"urgent":true,"gentle":true,"pad":")"},
                                 {Planned::CutShort, urgentGating}});
    const std::vector<Planned> monitorReplies = {
        {Planned::Plain, "\xff\xfe" + urgent + std::string("\0", 1)},
        {Planned::ServerError, "<html><h1>500 Internal Server Error</h1>" + urgent + "</html>"},
        {Planned::Plain, "[" + urgent + "]"},
        {Planned::Plain, R"({"judgment":"urgent","l1":{"tier3":"true","level_name":7,"categories":"self_harm"}})"},
        {Planned::Plain, R"({"l1":)" + std::string(200000, '[') + std::string(200000, ']') + "}"},
        {Planned::CutShort, urgent},
        {Planned::Huge, R"({"judgment":{"surface":"urgent"},"pad":")"},
        {Planned::Slow, urgent},
        {Planned::Plain, R"({"judgment":{"surface":"none"}})"},
    };
    backend.plan("/api/monitor", monitorReplies);

    ASSERT_TRUE(notes.activate());
    for (std::size_t i = 0; i < monitorReplies.size(); ++i) {
        desktop::xdotool("key ctrl+a BackSpace");
        desktop::xdotool("type --delay 20 'fault case " + std::to_string(i) + " about the weather'");
        // Reading the field waits on the application; on a loaded machine a read can come late.
        ASSERT_TRUE(backend.waitFor("/api/monitor", i + 1, Seconds(20))) << "typed text " << i << " never sent";
        EXPECT_TRUE(agent.running()) << "after reply " << i;
    }
    // The last, sound reply is read as usual.
    EXPECT_TRUE(agent.waitForLog("-> no popup (nothing detected)", Seconds(5)));
    // The gating poll went on every 8 s, through the slow, huge and cut replies.
    ASSERT_TRUE(backend.waitFor("/api/gating", 3, Seconds(30)));
    const auto gating = backend.requests("/api/gating");
    EXPECT_LT(longestGap(gating, launched).count(), 9.5);
    EXPECT_EQ(gating.back().headers.count("X-Device-Token") ? gating.back().headers.at("X-Device-Token") : "", kToken);

    EXPECT_TRUE(agent.running());
    EXPECT_TRUE(checkInPanels().empty());
    EXPECT_EQ(countLines(agent, "POPUP shown"), 1u);  // "Connected" alone
    EXPECT_TRUE(quitsOnSigterm(agent));
}

// ---- The keyring ----

// A session bus of the test's own: bare (nothing to activate), or with a gnome-keyring whose
// login collection is locked and whose unlock prompt could appear on the test display.
class PrivateSession {
public:
    explicit PrivateSession(bool lockedKeyring) {
        char pattern[] = "/tmp/ws-fault-session.XXXXXX";
        dir = ::mkdtemp(pattern);
        fs::create_directories(dir + "/runtime");
        fs::create_directories(dir + "/data");
        fs::permissions(dir + "/runtime", fs::perms::owner_all, fs::perm_options::replace);
        // Only what is set up here can be activated: never a second accessibility bus, say.
        std::ofstream conf(dir + "/bus.conf");
        conf << "<busconfig><type>session</type><listen>unix:dir=" << dir << "</listen>";
        if (lockedKeyring) {
            fs::create_directories(dir + "/services");
            for (const char* name : {"org.gnome.keyring.SystemPrompter", "org.gnome.keyring.PrivatePrompter"})
                std::ofstream(dir + "/services/" + name + ".service")
                    << "[D-BUS Service]\nName=" << name << "\nExec=/usr/libexec/gcr-prompter\n";
            conf << "<servicedir>" << dir << "/services</servicedir>";
        }
        conf << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
             << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        conf.close();
        const std::string daemon = "dbus-daemon --config-file=" + desktop::shellQuote(dir + "/bus.conf");
        std::istringstream out(desktop::sh(daemon + " --fork --nopidfile --print-address=1 --print-pid=1"));
        out >> address >> busPid;
        if (!lockedKeyring || address.empty()) return;
        desktop::sh("printf wellspire-test | " + env() + "gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1");
        desktop::waitUntil([&] { return collectionLocked() == "false"; }, Seconds(10));
        // What a desktop has: a prompter that can show itself.
        desktop::sh(env() + "dbus-update-activation-environment DISPLAY >/dev/null 2>&1");
        desktop::sh(env() + "dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets "
                            "org.freedesktop.Secret.Service.Lock array:objpath:" + kLogin + " >/dev/null 2>&1");
    }
    ~PrivateSession() {
        if (busPid > 0) {
            // What the bus started (an unlock prompt, say) goes first; the keyring leaves with the bus.
            std::istringstream children(desktop::sh("pgrep -P " + std::to_string(busPid)));
            for (pid_t child; children >> child;) ::kill(child, SIGTERM);
            ::kill(busPid, SIGTERM);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string env() const {
        return "env -u GNOME_KEYRING_CONTROL DBUS_SESSION_BUS_ADDRESS=" + desktop::shellQuote(address) + " XDG_RUNTIME_DIR=" +
               desktop::shellQuote(dir + "/runtime") + " XDG_DATA_HOME=" + desktop::shellQuote(dir + "/data") + " ";
    }
    void applyTo(Agent& agent) const {
        agent.setEnv("DBUS_SESSION_BUS_ADDRESS", address);
        agent.setEnv("XDG_RUNTIME_DIR", dir + "/runtime");
        agent.setEnv("XDG_DATA_HOME", dir + "/data");
    }
    // "true", "false", or empty when the keyring does not say.
    std::string collectionLocked() const {
        const std::string out = desktop::sh(env() + "dbus-send --session --print-reply --dest=org.freedesktop.secrets " +
                                            kLogin + " org.freedesktop.DBus.Properties.Get "
                                            "string:org.freedesktop.Secret.Collection string:Locked 2>/dev/null");
        if (out.find("boolean true") != std::string::npos) return "true";
        if (out.find("boolean false") != std::string::npos) return "false";
        return "";
    }
    // Items of the token's service anywhere in the keyring, locked or not.
    std::string keyringItems() const {
        return desktop::sh(env() + "dbus-send --session --print-reply --dest=org.freedesktop.secrets "
                                   "/org/freedesktop/secrets org.freedesktop.Secret.Service.SearchItems "
                                   "dict:string:string:service," + std::string(DeviceAuth::kTokenService) +
                           " 2>/dev/null | grep -c 'object path'");
    }
    std::string tokenFile() const {
        return dir + "/data/wellspire-agent/secrets/" +
               *linuxplatform::FileSecretStore::fileName(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount);
    }

    static constexpr const char* kLogin = "/org/freedesktop/secrets/collection/login";
    std::string dir, address;
    pid_t busPid = -1;
};

// Pairing against `session`: the token reaches the backend with the first request, kept in an
// owner-only file, and the agent stays responsive.
void pairsIntoAnOwnerOnlyFile(const PrivateSession& session) {
    TestBackend backend;
    Agent agent(backend.base());
    session.applyTo(agent);
    ASSERT_TRUE(agent.start({kPairUrl}));
    EXPECT_TRUE(desktop::waitForWindow("^Connected", Seconds(10)));
    // Paired before the launch's first request went out.
    ASSERT_TRUE(backend.waitFor("/api/agent_prefs", 1, Seconds(10)));
    const auto prefs = backend.requests("/api/agent_prefs").front();
    EXPECT_EQ(prefs.headers.count("X-Device-Token") ? prefs.headers.at("X-Device-Token") : "", kToken);
    EXPECT_TRUE(keepsCycling(agent));

    struct stat st {};
    ASSERT_EQ(::lstat(session.tokenFile().c_str(), &st), 0) << "no token file";
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(fileText(session.tokenFile()), kToken);
    EXPECT_TRUE(desktop::windowsNamed("[Uu]nlock|[Kk]eyring").empty()) << "an unlock prompt showed";
    EXPECT_TRUE(checkInPanels().empty());
    EXPECT_TRUE(quitsOnSigterm(agent)) << "the agent hangs";
}

TEST_F(FaultTest, ALockedKeyringIsNeverUnlockedAndTheTokenGoesToAnOwnerOnlyFile) {
    PrivateSession session(true);
    ASSERT_FALSE(session.address.empty());
    ASSERT_EQ(session.collectionLocked(), "true");
    pairsIntoAnOwnerOnlyFile(session);
    EXPECT_EQ(session.collectionLocked(), "true");
    EXPECT_EQ(session.keyringItems(), "0\n");
}

TEST_F(FaultTest, WithoutASecretServiceTheTokenGoesToAnOwnerOnlyFile) {
    PrivateSession session(false);
    ASSERT_FALSE(session.address.empty());
    pairsIntoAnOwnerOnlyFile(session);
}

// ---- The log file ----

TEST_F(FaultTest, ALogPathThatIsALinkOrNotOursIsLeftAloneAndTheAgentRunsOn) {
    char pattern[] = "/tmp/ws-fault-elsewhere.XXXXXX";
    const std::string elsewhere = ::mkdtemp(pattern);
    const std::string target = elsewhere + "/target", saved = elsewhere + "/saved-log";
    std::ofstream(target) << "untouched\n";
    std::error_code ec;
    fs::rename(kLog, saved, ec);
    fs::create_symlink(target, kLog);

    TestBackend backend;
    Agent agent(backend.base());
    ASSERT_TRUE(agent.spawn({kPairUrl}));
    const auto launched = std::chrono::steady_clock::now();
    // The log is a link: nothing is written through it.
    ASSERT_TRUE(backend.waitFor("/api/agent_prefs", 1, Seconds(20)));
    EXPECT_TRUE(desktop::waitForWindow("^Connected", Seconds(5)));
    desktop::settle(Seconds(1.5));
    EXPECT_EQ(fileText(target), "untouched\n");
    EXPECT_TRUE(fs::is_symlink(kLog));
    EXPECT_TRUE(agent.running());

    // Someone else's file, or one we may not write: left as it is.
    fs::remove(kLog);
    std::ofstream(kLog) << "foreign\n";
    if (::geteuid() == 0)
        ASSERT_EQ(::chown(kLog, 65534, 65534), 0);
    else
        ASSERT_EQ(::chmod(kLog, 0), 0);
    ASSERT_TRUE(backend.waitFor("/api/gating", 1, Seconds(12)));
    EXPECT_LT(longestGap(backend.requests("/api/gating"), launched).count(), 9.5);
    EXPECT_EQ(fileText(kLog), ::geteuid() == 0 ? "foreign\n" : "");
    EXPECT_TRUE(agent.running());

    // Gone: the agent makes a log of its own again, owner-only, and goes on logging its cycles.
    fs::remove(kLog);
    EXPECT_TRUE(desktop::waitUntil([] { return fileText(kLog).find("OCR captured") != std::string::npos; },
                                   Seconds(10)));
    struct stat st {};
    ASSERT_EQ(::lstat(kLog, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(checkInPanels().empty());
    EXPECT_TRUE(quitsOnSigterm(agent));
    EXPECT_EQ(fileText(target).find(kToken), std::string::npos);

    // Put the earlier log back in front, for the tests that follow.
    if (fs::exists(saved)) {
        std::ofstream(saved, std::ios::app) << fileText(kLog);
        fs::rename(saved, kLog, ec);
    }
    fs::remove_all(elsewhere, ec);
}

// ---- The X server ----

// An Xvfb of the test's own, on a display number it picks itself.
class OwnXServer {
public:
    OwnXServer() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset",
                     "+extension", "Composite", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // The number and its newline come in two writes; closing before the second would kill it.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        while (number.size() < 16 && ::poll(&p, 1, 10000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        if (c == '\n' && !number.empty()) display = ":" + number;
        ::close(fds[0]);
    }
    ~OwnXServer() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::string display;

private:
    pid_t pid_ = -1;
};

TEST_F(FaultTest, TheXServerGoingAwayEndsTheAgentCleanlyWithALogLine) {
    OwnXServer x;
    ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
    TestBackend backend;
    Agent agent(backend.base());
    agent.setEnv("DISPLAY", x.display);
    ASSERT_TRUE(agent.start({kPairUrl}));
    // In the middle of things: capturing that display, and paired.
    ASSERT_TRUE(keepsCycling(agent, 1));
    ASSERT_TRUE(backend.waitFor("/api/agent_prefs", 1, Seconds(5)));

    x.stop();
    const auto status = agent.waitForExit(Seconds(10));
    ASSERT_TRUE(status) << "still running without its display";
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
    EXPECT_EQ(WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, 0);
    EXPECT_EQ(countLines(agent, "DISPLAY lost"), 1u);

    // Started with no display to open: a plain status 1, not an abort.
    EXPECT_EQ(agent.launchAgain({}, Seconds(10)), 1);
}

// ---- An application that stops answering ----

TEST_F(FaultTest, AFocusedApplicationThatStopsAnsweringStopsNothing) {
    desktop::ProbeWindow frozen({"--title", "Frozen notes", "--entries", "--position", "80,420", "--size", "700x200"});
    ASSERT_TRUE(frozen.waitShown("Frozen notes"));
    TestBackend backend;
    backend.reply("/api/monitor", desktop::Json{{"judgment", {{"surface", "none"}}}});
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start({kPairUrl}));
    const auto launched = std::chrono::steady_clock::now();
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));
    ASSERT_TRUE(frozen.activate());
    desktop::xdotool("type --delay 20 'a quiet afternoon with a book'");
    ASSERT_TRUE(backend.waitFor("/api/monitor", 1, Seconds(10)));

    // Its text field still has the focus, and every accessibility query to it now hangs.
    ASSERT_EQ(::kill(frozen.pid(), SIGSTOP), 0);
    const auto stopped = std::chrono::steady_clock::now();
    // Five captures are four ticks apart at least: the agent is watched for longer than 4 s.
    EXPECT_TRUE(keepsCycling(agent, 5, Seconds(20)));
    const auto seen = backend.count("/api/gating");
    EXPECT_TRUE(backend.waitFor("/api/gating", seen + 1, Seconds(10)));
    const auto gating = backend.requests("/api/gating");
    EXPECT_LT(longestGap(gating, launched).count(), 9.5) << "a poll came late";
    EXPECT_GT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(4));
    EXPECT_TRUE(agent.running());
    EXPECT_TRUE(checkInPanels().empty());
    EXPECT_TRUE(quitsOnSigterm(agent));
    ::kill(frozen.pid(), SIGCONT);
}

}  // namespace
