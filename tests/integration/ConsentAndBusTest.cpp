// The consent and the desktop's accessibility switch, on the real bus launcher: a choice counts once
// it is on disk, the settings file is the owner's alone, and the switch is put back as the agent
// found it unless someone else switched it since. Each bus case gets its own session bus and
// launcher, with the desktop's settings in a private key file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/consent/AccessibilityBus.h"
#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/ConsentAccessibility.h"
#include "platform/linux/shell/QtConsentWindow.h"
#include "platform/linux/shell/QtUserDefaults.h"

namespace {

namespace fs = std::filesystem;
using namespace linuxplatform;

// Widgets for the privacy window, drawn off screen.
bool haveApp() {
    if (!QCoreApplication::instance()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "integration_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
    }
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

void pump(int ms) {
    QElapsedTimer t;
    for (t.start(); t.elapsed() < ms;) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

template <typename F>
bool waitUntil(F done, int ms = 3000) {
    QElapsedTimer t;
    for (t.start(); !done() && t.elapsed() < ms;) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

std::string text(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

unsigned mode(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/ws-consent.XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    ~Scratch() { fs::remove_all(dir); }
    fs::path dir;
};

// The settings folder swapped for a plain file: every write after that fails, as on a full or
// read-only disk (permissions alone do not stop root).
void breakFolder(const fs::path& folder) {
    fs::remove_all(folder);
    std::ofstream(folder) << "not a folder";
}

TEST(ConsentAndBusTest, AChoiceCountsOnceOnDiskAWithdrawalStopsAtOnceAndTheFileIsTheOwnersAlone) {
    ASSERT_TRUE(haveApp());
    Scratch scratch;
    const fs::path folder = scratch.dir / "wellspire-agent";
    const fs::path ini = folder / "agent.ini";
    // An earlier version's file, readable by everyone, holding the screen-cast token.
    fs::create_directories(folder);
    std::ofstream(ini) << "[consent]\nscreenText=true\nscreenCastToken=secret\n";
    ::chmod(ini.c_str(), 0644);
    auto consent = std::make_shared<Consent>(ini.string());
    EXPECT_EQ(mode(ini), 0600u) << "a world-readable file was left so";
    EXPECT_TRUE(consent->screenText());
    int changes = 0;
    consent->onChange([&] { ++changes; });

    EXPECT_TRUE(consent->setTypedText(true));
    EXPECT_TRUE(consent->typedText());
    EXPECT_NE(text(ini).find("typedText=true"), std::string::npos);
    EXPECT_EQ(mode(ini), 0600u);
    EXPECT_EQ(changes, 1);

    // The disk refuses: an agreement changes nothing, and does not slip in with a later write, not
    // even one of the agent's other flags, kept in the same file.
    QtUserDefaults flags(ini.string());
    breakFolder(folder);
    EXPECT_FALSE(consent->setTypedText(false));
    EXPECT_FALSE(consent->typedText()) << "a withdrawal must stop reading even when it is not saved";
    EXPECT_EQ(changes, 2) << "the readers were not told to stop";
    EXPECT_FALSE(consent->setTypedText(true));
    EXPECT_FALSE(consent->typedText()) << "an agreement that never reached the disk counted";
    EXPECT_EQ(changes, 2);
    fs::remove(folder);
    fs::create_directories(folder);
    EXPECT_TRUE(consent->setScreenText(false));
    flags.setBool("ws.flag", true);
    EXPECT_NE(text(ini).find("ws.flag=true"), std::string::npos) << text(ini);
    EXPECT_EQ(text(ini).find("typedText=true"), std::string::npos) << text(ini);
    EXPECT_EQ(mode(ini), 0600u);
    EXPECT_FALSE(Consent(ini.string()).typedText());

    // The agent's other flags share the file: created owner-only, and an open one is closed.
    fs::remove(ini);
    QtUserDefaults defaults(ini.string());
    defaults.setBool("ws.flag", true);
    EXPECT_EQ(mode(ini), 0600u);
    ::chmod(ini.c_str(), 0644);
    QtUserDefaults{ini.string()};
    EXPECT_EQ(mode(ini), 0600u);

    // The privacy window says when the disk refused, and its switch shows what holds.
    QtConsentWindow window(consent, [] { return std::string(); });
    auto* typed = window.findChild<QCheckBox*>();
    ASSERT_TRUE(typed);
    ASSERT_EQ(typed->text(), "&Typed text");
    breakFolder(folder);
    typed->click();
    EXPECT_FALSE(typed->isChecked()) << "the switch stayed on though the choice was not saved";
    EXPECT_FALSE(consent->typedText());
    bool said = false;
    for (auto* label : window.findChildren<QLabel*>())
        said = said || (!label->isHidden() && label->text().contains("could not be saved"));
    EXPECT_TRUE(said) << "the window did not say the choice was not saved";
    fs::remove(folder);
}

// A session bus of its own with the accessibility bus launcher on it; the desktop's settings in a key
// file, which the launcher keeps in step with its switch.
class PrivateDesktop {
public:
    PrivateDesktop() {
        // No services to start on demand: nothing but the launcher below may answer as the
        // accessibility bus, and nothing may write the user's real settings.
        const fs::path config = scratch_.dir / "bus.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                                 "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                                 "</policy></busconfig>";
        FILE* out = ::popen(("dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" + config.string())
                                .c_str(), "r");
        char line[512];
        if (out && std::fgets(line, sizeof line, out)) address_ = QString::fromUtf8(line).trimmed();
        if (out && std::fgets(line, sizeof line, out)) daemon_ = std::atoi(line);
        if (out) ::pclose(out);
        launcher_ = ::fork();
        if (launcher_ == 0) {
            ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8().constData(), 1);
            ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
            ::setenv("XDG_CONFIG_HOME", (scratch_.dir / "config").c_str(), 1);
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::execl("/usr/libexec/at-spi-bus-launcher", "at-spi-bus-launcher", nullptr);
            ::_exit(127);
        }
        connection_ = QDBusConnection::connectToBus(address_, "ws-private-" + QString::number(daemon_));
        waitUntil([this] { return call("GetAddress", {}, "org.a11y.Bus").type() == QDBusMessage::ReplyMessage; });
    }
    ~PrivateDesktop() {
        QDBusConnection::disconnectFromBus(connection_.name());
        if (launcher_ > 0) ::kill(launcher_, SIGTERM), ::waitpid(launcher_, nullptr, 0);
        if (daemon_ > 0) ::kill(daemon_, SIGTERM);
    }
    bool ready() const { return connection_.isConnected() && launcher_ > 0; }
    QDBusConnection connection() const { return connection_; }
    std::string settingsFile() const { return (scratch_.dir / "config/glib-2.0/settings/keyfile").string(); }
    std::string agentFile() const { return (scratch_.dir / "agent.ini").string(); }
    // What the desktop says: the launcher's switch, and the setting behind it.
    bool on() {
        const auto reply = call("Get", {"org.a11y.Status", "IsEnabled"});
        return !reply.arguments().isEmpty() && reply.arguments().first().value<QDBusVariant>().variant().toBool();
    }
    std::string setting() const {
        const std::string all = text(settingsFile());
        const auto at = all.find("toolkit-accessibility=");
        return at == std::string::npos ? "unset" : all.substr(at + 22, all.find('\n', at) - at - 22);
    }
    // Another program (or the user) switching it; the agent hears of it a moment later.
    void switchTo(bool on) {
        call("Set", {"org.a11y.Status", "IsEnabled", QVariant::fromValue(QDBusVariant(on))});
        pump(200);
    }

private:
    QDBusMessage call(const QString& method, const QVariantList& args,
                      const QString& interface = "org.freedesktop.DBus.Properties") {
        auto message = QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus", interface, method);
        message.setArguments(args);
        return connection_.call(message, QDBus::Block, 1000);
    }
    Scratch scratch_;
    QString address_;
    pid_t daemon_ = -1;
    pid_t launcher_ = -1;
    QDBusConnection connection_{QString()};
};

struct CountedReader : FocusedTextReader {
    explicit CountedReader(int& live) : live_(live) { ++live_; }
    ~CountedReader() override { --live_; }
    std::shared_ptr<platform::AXElement> focusedElement() override { return nullptr; }
    int& live_;
};

struct Agent {
    Agent(PrivateDesktop& desktop, std::shared_ptr<Consent> consent_)
        : consent(std::move(consent_)),
          bus(std::make_shared<AccessibilityBus>(desktop.connection())),
          accessibility(std::make_unique<ConsentAccessibility>(
              consent, bus, [this] { return std::make_unique<CountedReader>(readers); }, [this] { ++prompts; })) {}
    int readers = 0;
    int prompts = 0;
    std::shared_ptr<Consent> consent;
    std::shared_ptr<AccessibilityBus> bus;
    std::unique_ptr<ConsentAccessibility> accessibility;
};

TEST(ConsentAndBusTest, AnAgreementFromAnEarlierRunHoldsWhateverOrderTheBusAnswersIn) {
    ASSERT_TRUE(haveApp());
    PrivateDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    // A question asked just before the agent's own switching is answered after it, with the old value.
    // Launch reads the answer at any moment in between: it must never see "off" again.
    AccessibilityBus bus(desktop.connection());
    std::vector<bool> seen;
    bus.onChange([&](bool on) { seen.push_back(on); });
    EXPECT_FALSE(bus.enabled());
    bool took = false;
    bus.switchTo(true, true, [&](bool ok) { took = ok; });
    EXPECT_TRUE(took);
    pump(500);
    EXPECT_TRUE(bus.enabled());
    pump(300);
    EXPECT_EQ(seen, std::vector<bool>{true}) << "a stale answer overrode the agent's own switching";
    EXPECT_TRUE(bus.known());
    EXPECT_TRUE(desktop.on());
}

TEST(ConsentAndBusTest, TheSwitchGoesBackAsTheAgentFoundItUnlessSomeoneElseSwitchedItSince) {
    ASSERT_TRUE(haveApp());
    PrivateDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    auto consent = std::make_shared<Consent>(desktop.agentFile());
    {
        // Without agreement nothing is touched, and asking shows the privacy window.
        Agent agent(desktop, consent);
        EXPECT_FALSE(agent.accessibility->isProcessTrustedWithPrompt());
        EXPECT_EQ(agent.prompts, 1);
        pump(300);
        EXPECT_FALSE(desktop.on());
        EXPECT_EQ(desktop.setting(), "unset");

        // Agreed: the agent switches the bus on and reads; withdrawn: back off, with the setting.
        ASSERT_TRUE(consent->setTypedText(true));
        EXPECT_TRUE(waitUntil([&] { return agent.accessibility->isProcessTrusted(); }));
        pump(200);
        EXPECT_TRUE(desktop.on());
        EXPECT_TRUE(waitUntil([&] { return desktop.setting() == "true"; }, 5000)) << desktop.setting();
        EXPECT_EQ(agent.readers, 1);
        ASSERT_TRUE(consent->setTypedText(false));
        EXPECT_EQ(agent.readers, 0);
        EXPECT_TRUE(waitUntil([&] { return !desktop.on(); })) << "the switch stayed on after the withdrawal";
        EXPECT_TRUE(waitUntil([&] { return desktop.setting() == "false"; }, 5000)) << desktop.setting();

        // Switched off under the agent: nothing is read, the window is offered, and switching it on
        // from there reads again.
        ASSERT_TRUE(consent->setTypedText(true));
        ASSERT_TRUE(waitUntil([&] { return desktop.on() && agent.readers == 1; }));
        desktop.switchTo(false);
        EXPECT_TRUE(waitUntil([&] { return agent.readers == 0; })) << "reading went on with the bus off";
        EXPECT_FALSE(agent.accessibility->isProcessTrusted());
        EXPECT_TRUE(agent.accessibility->switchedOff());
        EXPECT_FALSE(agent.accessibility->isProcessTrustedWithPrompt());
        EXPECT_EQ(agent.prompts, 2) << "re-checking showed nothing";
        agent.accessibility->switchOn();
        EXPECT_TRUE(waitUntil([&] { return desktop.on() && agent.readers == 1; }));
        EXPECT_FALSE(agent.accessibility->switchedOff());

        // Someone else switches it off and on again: theirs now, and a withdrawal leaves it on.
        desktop.switchTo(false);
        ASSERT_TRUE(waitUntil([&] { return agent.readers == 0; }));
        desktop.switchTo(true);
        ASSERT_TRUE(waitUntil([&] { return agent.readers == 1; }));
        ASSERT_TRUE(consent->setTypedText(false));
        pump(300);
        EXPECT_TRUE(desktop.on()) << "the agent switched off what someone else had switched on";

        // Already on when the user agrees: not the agent's to switch off.
        ASSERT_TRUE(consent->setTypedText(true));
        ASSERT_TRUE(consent->setTypedText(false));
        pump(300);
        EXPECT_TRUE(desktop.on());
        desktop.switchTo(false);
        ASSERT_TRUE(waitUntil([&] { return !desktop.on(); }));

        // Agreed again, then the agent quits: back off; the next start switches it on again.
        ASSERT_TRUE(consent->setTypedText(true));
        ASSERT_TRUE(waitUntil([&] { return desktop.on(); }));
        pump(200);
        agent.accessibility->putBack();
        pump(300);
        EXPECT_FALSE(desktop.on()) << "quitting left the switch on";
    }
    {
        Agent agent(desktop, consent);
        EXPECT_TRUE(desktop.on());
        EXPECT_TRUE(agent.accessibility->isProcessTrusted());
        // The agent ends without putting it back (a crash)...
    }
    {
        // ...and the next run, then a withdrawal, still does.
        Agent agent(desktop, std::make_shared<Consent>(desktop.agentFile()));
        EXPECT_TRUE(agent.accessibility->isProcessTrusted());
        ASSERT_TRUE(agent.consent->setTypedText(false));
        EXPECT_TRUE(waitUntil([&] { return !desktop.on(); })) << "the switch left on by a crash stayed on";
        EXPECT_TRUE(waitUntil([&] { return desktop.setting() == "false"; }, 5000)) << desktop.setting();
    }
}

}  // namespace
