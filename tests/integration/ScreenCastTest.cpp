// Screen capture over PipeWire, on a private session of its own: D-Bus, a PipeWire daemon with
// WirePlumber, a GStreamer producer of a known 50x36 picture (a 40x30 block of #204060 with a red
// border 10 pixels wide on the left and 6 on top), and for the portal the real xdg-desktop-portal
// in front of a test backend that shares that producer as a monitor scaled by two (25x18 points).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/consent/Consent.h"
#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/common/CaptureStanding.h"
#include "platform/linux/wayland/CompositorWindows.h"
#include "platform/linux/wayland/PipeWireStream.h"
#include "platform/linux/wayland/PortalScreenCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace linuxplatform;
using Rgb = std::array<int, 3>;
constexpr Rgb kRed{255, 0, 0}, kBlock{0x20, 0x40, 0x60}, kBlack{0, 0, 0};

struct Child {
    pid_t pid = -1;
    explicit Child(std::vector<std::string> argv) {
        pid = fork();
        if (pid == 0) {
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// Real processes: the condition is polled, with the Qt events in between, until the deadline.
bool within(int seconds, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A deliberate wait, for something that must not happen.
void settle(int seconds) { within(seconds, [] { return false; }); }

std::string output(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

Rgb pixel(const platform::Image& image, int x, int y) {
    const auto* p = image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
    return {p[0], p[1], p[2]};
}

class ScreenCastTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v dbus-daemon pipewire wireplumber pw-link gst-launch-1.0 >/dev/null") != 0)
            GTEST_SKIP() << "needs dbus, pipewire, pipewire-bin, wireplumber and gstreamer1.0-tools";
        char pattern[] = "/tmp/ws-screencast-XXXXXX";
        dir_ = mkdtemp(pattern);
        // Everything started from here on lives in this directory and on this bus.
        for (const char* sub : {"portals", "config", "data", "state"}) fs::create_directories(dir_ / sub);
        set("XDG_RUNTIME_DIR", dir_);
        set("PIPEWIRE_RUNTIME_DIR", dir_);
        for (const auto& [name, sub] : {std::pair{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"},
                                        {"XDG_STATE_HOME", "state"}, {"XDG_DESKTOP_PORTAL_DIR", "portals"}})
            set(name, dir_ / sub);
        set("XDG_CURRENT_DESKTOP", "wsfake");
        // A bus that activates the permission store (where the portal keeps restore data) and nothing
        // else: no document portal mounting its file system in the directory.
        fs::create_directories(dir_ / "services");
        fs::copy_file("/usr/share/dbus-1/services/org.freedesktop.impl.portal.PermissionStore.service",
                      dir_ / "services" / "permission-store.service");
        std::ofstream(dir_ / "bus.conf") << "<busconfig><type>session</type><listen>unix:tmpdir=" << dir_.string()
                                         << "</listen><servicedir>" << (dir_ / "services").string()
                                         << "</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
                                            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
        std::istringstream bus(output("dbus-daemon --config-file=" + (dir_ / "bus.conf").string() +
                                      " --fork --print-address=1 --print-pid=1"));
        bus >> address_ >> busPid_;
        set("DBUS_SESSION_BUS_ADDRESS", address_);
        pipewire_ = std::make_unique<Child>(std::vector<std::string>{"pipewire"});
        ASSERT_TRUE(within(10, [&] { return fs::exists(dir_ / "pipewire-0"); }));
    }
    void TearDown() override {
        services_.clear();
        producer_.reset();
        pipewire_.reset();
        // The bus started the permission store; it and the bus go before their directory does.
        const std::string store = output(
            "dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
            "org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.impl.portal.PermissionStore "
            "2>/dev/null | awk '/uint32/{print $2}'");
        for (const pid_t pid : {store.empty() ? pid_t(-1) : pid_t(std::stoi(store)), busPid_}) {
            if (pid <= 0) continue;
            kill(pid, SIGTERM);
            within(5, [pid] { return kill(pid, 0) != 0; });
        }
        for (const auto& [name, value] : saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        std::error_code ignored;  // the bus may still be taking its socket away
        if (!dir_.empty()) fs::remove_all(dir_, ignored);
    }

    void produce(const std::string& format) {
        producer_ = std::make_unique<Child>(std::vector<std::string>{
            "gst-launch-1.0", "-q", "videotestsrc", "pattern=solid-color", "foreground-color=0xff204060", "!",
            "video/x-raw,width=40,height=30", "!", "videobox", "left=-10", "top=-6", "fill=red", "!", "videoconvert",
            "!", "video/x-raw,format=" + format + ",width=50,height=36,framerate=10/1", "!", "pipewiresink",
            "mode=provide", "stream-properties=p,node.name=ws-producer,media.class=Video/Source"});
    }

    // The environment the processes of this test inherit; the test runner's own comes back after.
    void set(const std::string& name, const fs::path& value) {
        const char* old = std::getenv(name.c_str());
        if (!saved_.count(name)) saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        setenv(name.c_str(), value.c_str(), 1);
    }

    std::map<std::string, std::optional<std::string>> saved_;
    fs::path dir_;
    std::string address_;
    pid_t busPid_ = -1;
    std::unique_ptr<Child> pipewire_, producer_;
    std::vector<std::unique_ptr<Child>> services_;
};

TEST_F(ScreenCastTest, TheStreamKeepsTheProducersLatestPictureInEveryByteOrder) {
    for (const std::string format : {"BGRx", "RGBA"}) {
        SCOPED_TRACE(format);
        produce(format);
        PipeWireStream stream(-1, PipeWireStream::kAnyNode);
        ASSERT_TRUE(stream.start());
        EXPECT_EQ(stream.latest(), nullptr);  // nothing before a frame came
        // No session manager here: the test links the producer to the stream itself.
        ASSERT_TRUE(within(10, [] {
            const std::string in = output("pw-link -i | grep '^wellspire-screen:' | head -n1");
            const std::string out = output("pw-link -o | grep '^ws-producer:' | head -n1");
            return !in.empty() && !out.empty() && std::system(("pw-link '" + out + "' '" + in + "' 2>/dev/null").c_str()) == 0;
        }));
        ASSERT_TRUE(within(10, [&] { return stream.frames() >= 2; }));
        const auto image = stream.latest();
        ASSERT_TRUE(image && image->width == 50 && image->height == 36);
        EXPECT_EQ(pixel(*image, 0, 0), kRed);
        EXPECT_EQ(pixel(*image, 49, 5), kRed);
        EXPECT_EQ(pixel(*image, 10, 6), kBlock);
        EXPECT_FALSE(stream.ended());
    }
}

TEST_F(ScreenCastTest, ThePortalSessionFollowsConsentAndTheCompositor) {
    if (!fs::exists("/usr/libexec/xdg-desktop-portal")) GTEST_SKIP() << "needs xdg-desktop-portal";
    services_.push_back(std::make_unique<Child>(std::vector<std::string>{"wireplumber"}));
    produce("BGRx");
    std::string node;
    ASSERT_TRUE(within(10, [&] {
        node = output("pw-cli ls Node | awk '/^\\tid /{id=$2+0} /node.name = \"ws-producer\"/{print id}'");
        return !node.empty();
    }));
    std::ofstream(dir_ / "portals" / "wsfake.portal")
        << "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.wsfake\n"
           "Interfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=wsfake\n";
    const fs::path log = dir_ / "backend.log";
    fs::path backend = fs::path(__FILE__).parent_path() / "screencast_backend.py";
    if (backend.is_relative()) backend = fs::read_symlink("/proc/self/exe").parent_path() / backend;
    services_.push_back(std::make_unique<Child>(std::vector<std::string>{"/usr/bin/python3", backend, node, log}));
    auto owned = [](const std::string& name) {
        return within(10, [&] {
            return output("dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
                          "org.freedesktop.DBus.NameHasOwner string:" + name).find("true") != std::string::npos;
        });
    };
    ASSERT_TRUE(owned("org.freedesktop.impl.portal.desktop.wsfake"));
    services_.push_back(std::make_unique<Child>(std::vector<std::string>{"/usr/libexec/xdg-desktop-portal", "-r"}));
    ASSERT_TRUE(owned("org.freedesktop.portal.Desktop"));

    static int argc = 1;
    static char name[] = "integration_tests";
    static char* argv[] = {name, nullptr};
    // Ours for this test only, where no other test left one.
    std::unique_ptr<QCoreApplication> app(QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv));
    const auto bus = QDBusConnection::connectToBus(QString::fromStdString(address_), QStringLiteral("screencast-test"));
    auto consent = std::make_shared<Consent>((dir_ / "agent.ini").string());
    auto backendLog = [&] { return output("cat '" + log.string() + "' 2>/dev/null"); };
    {
        // What a compositor tells (topmost last), and one of the agent's own panels on screen.
        struct Windows : CompositorWindows {
            std::vector<CompositorWindow> windows() const override {
                return {{1, 100, "below", {0, 0, 25, 18}, false, true},
                        {2, 200, "hidden", {0, 0, 20, 20}, false, false},
                        {3, 300, "top", {3, 2, 5, 5}, true, true}};
            }
        };
        OwnWindows::shared().shown(1, {0, 13, 4, 5});  // over the red border
        PortalScreenCapture capture(consent, std::make_shared<Windows>(), bus);
        capture.request();  // without consent nothing starts
        settle(1);
        EXPECT_EQ(backendLog(), "");
        consent->setScreenText(true);  // the agreement does
        ASSERT_TRUE(within(20, [&] { return capture.preflight(); })) << backendLog();
        EXPECT_FALSE(consent->screenCastToken().empty());
        EXPECT_EQ(Consent((dir_ / "agent.ini").string()).screenCastToken(), consent->screenCastToken());
        EXPECT_NE(backendLog().find("SelectSources cursor_mode=1 multiple=False persist_mode=2 types=1\n"),
                  std::string::npos) << backendLog();

        platform::ContentResult content = platform::CaptureError{};
        capture.shareableContent([&](platform::ContentResult r) { content = std::move(r); });
        const auto display = std::get<platform::ShareableContent>(content).displays.at(0);
        EXPECT_EQ(display.width, 25);
        EXPECT_EQ(display.height, 18);
        // The agent's panel first, then the compositor's visible windows topmost first, in points.
        const auto windows = std::get<platform::ShareableContent>(content).windows;
        ASSERT_EQ(windows.size(), 3u);
        EXPECT_EQ(windows[0].ownerPid, getpid());
        EXPECT_EQ(windows[0].frame, (platform::Rect{0, 0, 4, 5}));
        EXPECT_EQ(windows[1].ownerPid, 300);
        EXPECT_EQ(windows[1].frame, (platform::Rect{3, 11, 5, 5}));
        EXPECT_EQ(windows[2].ownerPid, 100);
        // The block as a window (points, y upward): alone, and left out of the display.
        const platform::ShareableWindow block{7, 1234, true, {5, 0, 20, 15}};
        platform::CaptureResult result = platform::CaptureError{};
        capture.captureDisplay(display, {block}, 100, 72, [&](platform::CaptureResult r) { result = std::move(r); });
        auto image = std::get<std::shared_ptr<const platform::Image>>(result);
        EXPECT_EQ(image->width, 100);
        EXPECT_EQ(pixel(*image, 5, 5), kRed);
        EXPECT_EQ(pixel(*image, 60, 40), kBlack);
        EXPECT_EQ(pixel(*image, 6, 62), kBlack);  // the agent's panel, though not in the list
        EXPECT_EQ(pixel(*image, 6, 40), kRed);
        OwnWindows::shared().hidden(1);
        capture.captureWindow(block, 40, 30, [&](platform::CaptureResult r) { result = std::move(r); });
        image = std::get<std::shared_ptr<const platform::Image>>(result);
        EXPECT_EQ(pixel(*image, 0, 0), kBlock);
        EXPECT_EQ(pixel(*image, 39, 29), kBlock);

        // The desktop ends the session while PipeWire stays (the user's Stop): no more captures, the
        // grant is forgotten until the user comes back.
        kill(services_[1]->pid, SIGUSR1);
        ASSERT_TRUE(within(10, [&] { return !capture.preflight(); }));
        capture.captureDisplay(display, {}, 50, 36, [&](platform::CaptureResult r) { result = std::move(r); });
        EXPECT_TRUE(std::holds_alternative<platform::CaptureError>(result));
        ASSERT_TRUE(within(10, [&] { return capture.standing()->state() == CaptureStanding::State::Stopped; }));
        EXPECT_TRUE(consent->screenCastToken().empty());
        capture.request();
        EXPECT_EQ(capture.standing()->state(), CaptureStanding::State::Stopped);
        // The user coming back to the privacy window asks anew, with no token.
        capture.standing()->askAgain();
        ASSERT_TRUE(within(20, [&] { return capture.preflight(); }))
            << CaptureStanding::name(capture.standing()->state()) << "\n" << backendLog();
        EXPECT_EQ(backendLog().find("restore_data="), std::string::npos) << backendLog();

        // Withdrawal closes the session and forgets the choice.
        consent->setScreenText(false);
        EXPECT_FALSE(capture.preflight());
        EXPECT_TRUE(Consent((dir_ / "agent.ini").string()).screenCastToken().empty());
        EXPECT_TRUE(within(10, [&] { return backendLog().find("CloseSession") != std::string::npos; })) << backendLog();
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("screencast-test"));
}

}  // namespace
