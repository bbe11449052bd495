// A locked or inactive session reads nothing, from whichever source says so, and reading resumes
// on unlock. The desktop's screensaver and logind are stood in for on private buses (a "system" and
// a "session" one, with the accessibility bus launcher on the latter so that the typed-text gate
// has a bus to go by); the gates answer as a withdrawn consent does while locked.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/consent/AccessibilityBus.h"
#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/ConsentAccessibility.h"
#include "platform/linux/consent/ConsentScreenCapture.h"
#include "platform/linux/consent/ConsentWorkspace.h"
#include "platform/linux/consent/SessionLock.h"

namespace {

namespace fs = std::filesystem;
using namespace linuxplatform;

bool haveApp() {
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "integration_tests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
    return true;
}

template <typename F>
bool waitUntil(F done, int ms = 3000) {
    QElapsedTimer t;
    for (t.start(); !done() && t.elapsed() < ms;) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/ws-lock.XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    ~Scratch() { fs::remove_all(dir); }
    fs::path dir;
};

// A bus of its own, with nothing to start on demand.
class PrivateBus {
public:
    explicit PrivateBus(const fs::path& folder, const std::string& name) {
        const fs::path config = folder / (name + ".conf");
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                                 "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
        FILE* out = ::popen(("dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" + config.string())
                                .c_str(), "r");
        char line[512];
        if (out && std::fgets(line, sizeof line, out)) address = QString::fromUtf8(line).trimmed();
        if (out && std::fgets(line, sizeof line, out)) daemon_ = std::atoi(line);
        if (out) ::pclose(out);
        connection = QDBusConnection::connectToBus(address, QString::fromStdString("ws-lock-" + name));
    }
    ~PrivateBus() {
        QDBusConnection::disconnectFromBus(connection.name());
        if (daemon_ > 0) ::kill(daemon_, SIGTERM);
    }
    QString address;
    QDBusConnection connection{QString()};

private:
    pid_t daemon_ = -1;
};

// A child process that answers on its standard output; ends when its standard input closes.
class Child {
public:
    explicit Child(std::vector<std::string> argv, std::vector<std::pair<std::string, std::string>> env = {}) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = ::fdopen(in[1], "w");
        out_ = ::fdopen(out[0], "r");
    }
    ~Child() { end(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // The next line it prints (blocking), without the line break.
    std::string line() {
        char buffer[256];
        if (!out_ || !std::fgets(buffer, sizeof buffer, out_)) return {};
        std::string text(buffer);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // Sends one command and waits until it was carried out.
    bool say(const std::string& command) {
        std::fprintf(in_, "%s\n", command.c_str());
        std::fflush(in_);
        return line() == "done " + command;
    }
    void end() {
        if (in_) std::fclose(in_), in_ = nullptr;
        if (out_) std::fclose(out_), out_ = nullptr;
        if (pid_ > 0) {
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

Child standIn(const PrivateBus& bus, const std::string& kind, bool locked = false) {
    std::vector<std::string> argv{"/usr/bin/python3", WS_SOURCE_DIR "/tests/desktop/lock_standin.py", "--kind", kind, "--bus",
                                  bus.address.toStdString()};
    if (locked) argv.push_back("--locked");
    return Child(argv);
}

// The accessibility bus launcher on the private session bus, with the desktop's settings in a key file.
class Launcher {
public:
    Launcher(const PrivateBus& bus, const fs::path& folder) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toUtf8().constData(), 1);
            ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
            ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::execl("/usr/libexec/at-spi-bus-launcher", "at-spi-bus-launcher", nullptr);
            ::_exit(127);
        }
    }
    ~Launcher() {
        if (pid_ > 0) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

struct Field : platform::AXElement {
    std::optional<platform::AXValue> attribute(const std::string&) override { return platform::AXValue{true, "typed"}; }
};
struct Reader : FocusedTextReader {
    std::shared_ptr<platform::AXElement> focusedElement() override { return std::make_shared<Field>(); }
};

struct Capture : platform::ScreenCapture {
    bool preflight() override { return true; }
    void request() override { ++requests; }
    void shareableContent(std::function<void(platform::ContentResult)> done) override {
        ++reads;
        done(platform::ShareableContent{});
    }
    void captureWindow(const platform::ShareableWindow&, int, int, std::function<void(platform::CaptureResult)> done) override {
        ++reads;
        done(std::make_shared<const platform::Image>());
    }
    void captureDisplay(const platform::ShareableDisplay&, const std::vector<platform::ShareableWindow>&, int, int,
                        std::function<void(platform::CaptureResult)> done) override {
        ++reads;
        done(std::make_shared<const platform::Image>());
    }
    int reads = 0;
    int requests = 0;
};

struct Keys : platform::Workspace {
    struct Listener : platform::Registration {
        explicit Listener(int& live) : live_(live) { ++live_; }
        ~Listener() override { --live_; }
        int& live_;
    };
    std::optional<platform::RunningApplication> frontmostApplication() override { return std::nullopt; }
    std::shared_ptr<platform::Registration> addActivationObserver(
        std::function<void(const std::optional<platform::RunningApplication>&)>) override {
        return nullptr;
    }
    void removeActivationObserver(const std::shared_ptr<platform::Registration>&) override {}
    std::shared_ptr<platform::Registration> addGlobalKeyDownMonitor(std::function<void(int)> handler) override {
        press = std::move(handler);
        return std::make_shared<Listener>(listeners);
    }
    int ownPid() const override { return 0; }
    std::string bundlePath() const override { return {}; }
    int listeners = 0;
    std::function<void(int)> press;
};

// What each gate lets through now.
struct Gates {
    bool field = false;
    bool preflight = false;
    bool captured = false;
    bool listening = false;
};

TEST(SessionLockTest, TheDesktopsScreensaverStopsEveryReadAsAWithdrawalDoesAndUnlockResumesThem) {
    ASSERT_TRUE(haveApp());
    Scratch scratch;
    PrivateBus system(scratch.dir, "system");
    PrivateBus session(scratch.dir, "session");
    ASSERT_TRUE(system.connection.isConnected() && session.connection.isConnected());
    Launcher launcher(session, scratch.dir);
    auto consent = std::make_shared<Consent>((scratch.dir / "agent.ini").string());
    ASSERT_TRUE(consent->setTypedText(true));
    ASSERT_TRUE(consent->setScreenText(true));

    // Locked before the agent starts: it knows at once, before anything could be read.
    Child saver = standIn(session, "freedesktop", true);
    ASSERT_EQ(saver.line(), "ready");
    auto lock = std::make_shared<SessionLock>(system.connection, session.connection);
    EXPECT_TRUE(lock->locked());
    EXPECT_EQ(lock->why(), "org.freedesktop.ScreenSaver");
    std::vector<bool> seen;
    lock->onChange([&] { seen.push_back(lock->locked()); });

    auto bus = std::make_shared<AccessibilityBus>(session.connection);
    ASSERT_TRUE(waitUntil([&] {
        bus->switchTo(true, true);
        return bus->known();
    }));
    ConsentAccessibility accessibility(consent, bus, [] { return std::make_unique<Reader>(); }, [] {});
    accessibility.setSessionLock(lock);
    auto inner = std::make_shared<Capture>();
    auto capture = std::make_shared<ConsentScreenCapture>(consent, inner, [] {});
    capture->setSessionLock(lock);
    auto keys = std::make_shared<Keys>();
    auto workspace = std::make_shared<ConsentWorkspace>(consent, keys);
    workspace->followConsent();
    workspace->followLock(lock);
    int pressed = 0;
    workspace->addGlobalKeyDownMonitor([&](int) { ++pressed; });

    auto gates = [&] {
        Gates g;
        g.field = accessibility.focusedElement() != nullptr;
        g.preflight = capture->preflight();
        const int before = inner->reads;
        capture->captureDisplay({}, {}, 10, 10, [&](platform::CaptureResult r) {
            g.captured = std::holds_alternative<std::shared_ptr<const platform::Image>>(r);
        });
        capture->captureWindow({}, 10, 10, [&](platform::CaptureResult r) {
            g.captured = g.captured || std::holds_alternative<std::shared_ptr<const platform::Image>>(r);
        });
        capture->shareableContent([&](platform::ContentResult r) {
            g.captured = g.captured || std::holds_alternative<platform::ShareableContent>(r);
        });
        g.captured = g.captured || inner->reads != before;
        g.listening = keys->listeners > 0 && workspace->listeningForKeys();
        return g;
    };

    Gates locked = gates();
    EXPECT_FALSE(locked.field) << "a field was read on a locked screen";
    EXPECT_FALSE(locked.preflight);
    EXPECT_FALSE(locked.captured) << "the screen was captured while locked";
    EXPECT_FALSE(locked.listening) << "keys were listened to while locked";
    capture->request();
    EXPECT_EQ(inner->requests, 0) << "the desktop's own question was asked on a locked screen";

    // Unlocked: everything reads again.
    ASSERT_TRUE(saver.say("unlock"));
    ASSERT_TRUE(waitUntil([&] { return !lock->locked(); })) << lock->why();
    Gates open = gates();
    EXPECT_TRUE(open.field);
    EXPECT_TRUE(open.preflight);
    EXPECT_TRUE(open.captured);
    EXPECT_TRUE(open.listening);
    ASSERT_TRUE(keys->press);
    keys->press(38);
    EXPECT_EQ(pressed, 1);

    // Locked again: a key already on its way goes no further, and the listener is gone.
    auto press = keys->press;
    ASSERT_TRUE(saver.say("lock"));
    ASSERT_TRUE(waitUntil([&] { return lock->locked(); }));
    press(38);
    EXPECT_EQ(pressed, 1) << "a key was counted on a locked screen";
    locked = gates();
    EXPECT_FALSE(locked.field || locked.preflight || locked.captured || locked.listening);

    // The screensaver going away locks nothing: the session reads again.
    saver.end();
    ASSERT_TRUE(waitUntil([&] { return !lock->locked(); }));
    EXPECT_TRUE(gates().listening);
    EXPECT_EQ(seen, (std::vector<bool>{false, true, false}));
}

TEST(SessionLockTest, LogindGnomeAndTheXScreenSaverEachLockAndAnySourceKeepsItLocked) {
    ASSERT_TRUE(haveApp());
    Scratch scratch;
    PrivateBus system(scratch.dir, "system");
    PrivateBus session(scratch.dir, "session");
    ASSERT_TRUE(system.connection.isConnected() && session.connection.isConnected());
    Child logind = standIn(system, "logind");
    ASSERT_EQ(logind.line(), "ready");
    ::setenv("XDG_SESSION_ID", "37", 1);
    SessionLock lock(system.connection, session.connection);
    ::unsetenv("XDG_SESSION_ID");
    EXPECT_FALSE(lock.locked());

    // The session locked, then switched away from while still locked, then back and unlocked.
    ASSERT_TRUE(logind.say("lock"));
    EXPECT_TRUE(waitUntil([&] { return lock.locked(); })) << "logind's LockedHint was not followed";
    ASSERT_TRUE(logind.say("inactive"));
    ASSERT_TRUE(logind.say("unlock"));
    EXPECT_TRUE(waitUntil([&] { return lock.why() == "logind-inactive"; })) << lock.why();
    EXPECT_TRUE(lock.locked()) << "unlocked while another session had the seat";
    ASSERT_TRUE(logind.say("active"));
    EXPECT_TRUE(waitUntil([&] { return !lock.locked(); })) << lock.why();

    // GNOME's screensaver, started after the agent, locked: asked when it appears.
    Child gnome = standIn(session, "gnome", true);
    ASSERT_EQ(gnome.line(), "ready");
    EXPECT_TRUE(waitUntil([&] { return lock.locked(); })) << "a screensaver that appeared locked was not asked";
    EXPECT_EQ(lock.why(), "org.gnome.ScreenSaver");
    // The X server's saver comes on too; GNOME's unlock alone does not unlock.
    lock.setScreenSaverOn(true);
    ASSERT_TRUE(gnome.say("unlock"));
    EXPECT_TRUE(waitUntil([&] { return lock.why() == "x-screensaver"; })) << lock.why();
    EXPECT_TRUE(lock.locked());
    lock.setScreenSaverOn(false);
    EXPECT_FALSE(lock.locked());
    ASSERT_TRUE(gnome.say("lock"));
    EXPECT_TRUE(waitUntil([&] { return lock.locked(); })) << "GNOME's ActiveChanged was not followed";
}

}  // namespace
