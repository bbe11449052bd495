// The places never read: how an application is named (desktop entries and a process tree laid out
// in a scratch folder), what the consent gates answer there (a fake reader and a fake capture behind
// the real gates), how the list and the private-browsing switch are kept, and the privacy window's
// list drawn off screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/consent/AccessibilityBus.h"
#include "platform/linux/consent/ApplicationIdentity.h"
#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/ConsentAccessibility.h"
#include "platform/linux/consent/ConsentScreenCapture.h"
#include "platform/linux/consent/PlacesNeverRead.h"
#include "platform/linux/shell/QtConsentWindow.h"

namespace {

namespace fs = std::filesystem;
using namespace linuxplatform;
using Names = std::vector<std::string>;
using namespace std::string_literals;

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

template <typename F>
bool waitUntil(F done, int ms = 3000) {
    QElapsedTimer t;
    for (t.start(); !done() && t.elapsed() < ms;) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// Installed applications in two data folders, and a few processes, in a scratch folder.
struct Machine {
    Machine() {
        char pattern[] = "/tmp/ws-never.XXXXXX";
        dir = ::mkdtemp(pattern);
        entry("home", "org.example.Notes", "Name=Notes\nExec=notes %U\nStartupWMClass=NotesWindow\n");
        entry("system", "org.example.Notes", "Name=Old Notes\nExec=old-notes\n");  // shadowed by the user's
        entry("system", "org.example.Editor", "Name=Editor\nExec=env LANG=C /opt/editor/bin/editor --new\n");
        entry("system", "org.example.Helper", "Name=Helper\nExec=helper\nNoDisplay=true\n");
        entry("system", "org.example.Script", "Name=Script\nExec=python3 /opt/script.py\n");
        entry("system", "chat", "Name=Chat\nExec=chat-bin\n");
        process(10, "/usr/bin/notes", "", "0::/user.slice/session-1.scope\n");
        process(11, "/opt/editor/bin/editor", "", "");
        // Launched from an entry, and a child that inherited the launcher's variables.
        process(12, "/usr/bin/xterm", "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/chat.desktop\0"
                                      "GIO_LAUNCHED_DESKTOP_FILE_PID=12\0"s,
                "");
        process(13, "/usr/bin/python3.11", "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/chat.desktop\0"
                                          "GIO_LAUNCHED_DESKTOP_FILE_PID=12\0"s,
                "");
        // Started by the desktop in a scope of its own, the launcher's name before the id.
        process(14, "/usr/libexec/something", "",
                "0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-org.example.Editor-4242.scope\n");
        process(15, "/usr/bin/firefox-esr", "", "", std::string("firefox-esr\0--private-window\0", 29));
    }
    ~Machine() { fs::remove_all(dir); }
    void entry(const std::string& folder, const std::string& id, const std::string& body) {
        fs::create_directories(dir / folder / "applications");
        std::ofstream(dir / folder / "applications" / (id + ".desktop"))
            << "[Desktop Entry]\nType=Application\n" << body << "[Desktop Action New]\nName=Other\nExec=other\n";
    }
    void process(int pid, const std::string& exe, const std::string& environ, const std::string& cgroup,
                 const std::string& cmdline = {}) {
        const fs::path p = dir / "proc" / std::to_string(pid);
        fs::create_directories(p);
        // A process that has ended and waits to be reaped shows no program and no environment.
        if (!exe.empty()) fs::create_symlink(exe, p / "exe");
        std::ofstream(p / "stat") << pid << " (" << fs::path(exe).filename().string() << ") " << (exe.empty() ? 'Z' : 'S')
                                  << " 1 " << pid << " " << pid << " 0 -1\n";
        std::ofstream(p / "environ", std::ios::binary) << environ;
        std::ofstream(p / "cgroup") << cgroup;
        std::ofstream(p / "cmdline", std::ios::binary) << cmdline;
    }
    std::shared_ptr<ApplicationIdentity> identity() const {
        return std::make_shared<ApplicationIdentity>(Names{(dir / "home").string(), (dir / "system").string()},
                                                     (dir / "proc").string());
    }
    std::string settings() const { return (dir / "agent.ini").string(); }
    fs::path dir;
};

TEST(PlacesNeverReadTest, AnApplicationIsNamedByItsDesktopEntryWhereOneIsFoundAndElseByItsExecutable) {
    Machine machine;
    auto identity = machine.identity();
    Names shown;
    for (const auto& e : identity->installed()) shown.push_back(e.id + "=" + e.name);
    // By name; the user's own folder first; entries that ask not to be shown left out.
    EXPECT_EQ(shown, (Names{"chat=Chat", "org.example.Editor=Editor", "org.example.Notes=Notes",
                            "org.example.Script=Script"}));
    EXPECT_EQ(identity->displayName("org.example.Notes"), "Notes");
    EXPECT_EQ(identity->displayName("helper-bin"), "helper-bin");

    // The program an entry runs, past "env" and folders.
    EXPECT_EQ(identity->identities(10), (Names{"org.example.Notes", "notes"}));
    EXPECT_EQ(identity->identities(11), (Names{"org.example.Editor", "editor"}));
    // The window's class, against StartupWMClass or the id's last part, wins over the process.
    EXPECT_EQ(identity->identities(11, "notesWINDOW"), (Names{"org.example.Notes", "editor"}));
    EXPECT_EQ(identity->identities(0, "Editor"), (Names{"org.example.Editor"}));
    // The entry it was launched from, but not one a parent was launched from.
    EXPECT_EQ(identity->identities(12), (Names{"chat", "xterm"}));
    EXPECT_EQ(identity->identities(13), (Names{"python3.11"}));
    EXPECT_EQ(identity->identities(14), (Names{"org.example.Editor", "something"}));
    // Nothing known of a process that is gone.
    EXPECT_TRUE(identity->identities(99).empty());
}

// A capture that lists fixed windows and records what it was asked.
struct FakeCapture : platform::ScreenCapture {
    bool preflight() override { return true; }
    void request() override {}
    void shareableContent(std::function<void(platform::ContentResult)> completion) override {
        completion(content);
    }
    void captureWindow(const platform::ShareableWindow& window, int, int,
                       std::function<void(platform::CaptureResult)> completion) override {
        windows.push_back(window.id);
        completion(std::make_shared<const platform::Image>());
    }
    void captureDisplay(const platform::ShareableDisplay&, const std::vector<platform::ShareableWindow>& excluding,
                        int, int, std::function<void(platform::CaptureResult)> completion) override {
        std::vector<std::uint64_t> ids;
        for (const auto& w : excluding) ids.push_back(w.id);
        blanked.push_back(ids);
        completion(std::make_shared<const platform::Image>());
    }
    platform::ContentResult content;
    std::vector<std::uint64_t> windows;
    std::vector<std::vector<std::uint64_t>> blanked;
};

platform::ShareableWindow window(std::uint64_t id, int pid, std::string title, std::string cls = {}) {
    platform::ShareableWindow w;
    w.id = id;
    if (pid) w.ownerPid = pid;
    w.onScreen = true;
    w.title = std::move(title);
    w.appClass = std::move(cls);
    return w;
}

TEST(PlacesNeverReadTest, ListedApplicationsAndPrivateWindowsAreNeverCapturedAndBlankInADisplay) {
    Machine machine;
    auto consent = std::make_shared<Consent>(machine.settings());
    ASSERT_TRUE(consent->setScreenText(true));
    auto fake = std::make_shared<FakeCapture>();
    auto own = window(1, static_cast<int>(::getpid()), "Check-in");
    fake->content = platform::ShareableContent{
        {window(10, 10, "Notes"), window(11, 11, "draft.txt - Editor"), window(20, 0, "Diary", "NotesWindow"),
         window(21, 11, "Banking — Mozilla Firefox Private Browsing"), window(22, 11, "Mail - Chromium (Incognito)"),
         window(23, 15, "Shop — Mozilla Firefox"), window(24, 11, "How to use Private Browsing - Chromium"), own},
        {{7, 800, 600}}};
    auto gate = std::make_shared<ConsentScreenCapture>(consent, fake, nullptr);
    gate->setPlacesNeverRead(std::make_shared<PlacesNeverRead>(consent, machine.identity()));
    ASSERT_TRUE(consent->setNeverRead({"org.example.Notes"}));

    std::vector<std::string> errors;
    auto captureEach = [&] {
        fake->windows.clear();
        errors.clear();
        for (const auto& w : std::get<platform::ShareableContent>(fake->content).windows)
            gate->captureWindow(w, 100, 100, [&](platform::CaptureResult r) {
                if (auto* e = std::get_if<platform::CaptureError>(&r)) errors.push_back(e->description);
            });
    };
    captureEach();
    // Notes, by its process and by its window's class; private windows, by title or by a browser
    // started for private browsing. A page title that merely speaks of private browsing is read.
    EXPECT_EQ(fake->windows, (std::vector<std::uint64_t>{11, 24, 1}));
    EXPECT_EQ(errors, Names(5, ConsentScreenCapture::kNeverRead));

    // A display: the caller's exclusions kept, the places never read added.
    gate->captureDisplay({7, 800, 600}, {own}, 100, 100, [](platform::CaptureResult) {});
    ASSERT_EQ(fake->blanked.size(), 1u);
    EXPECT_EQ(fake->blanked.back(), (std::vector<std::uint64_t>{1, 10, 20, 21, 22, 23}));

    // Private windows allowed, Notes taken off the list: all are read again.
    ASSERT_TRUE(consent->setPrivateBrowsing(true));
    ASSERT_TRUE(consent->setNeverRead({}));
    captureEach();
    EXPECT_EQ(fake->windows.size(), 8u);
    gate->captureDisplay({7, 800, 600}, {own}, 100, 100, [](platform::CaptureResult) {});
    EXPECT_EQ(fake->blanked.back(), (std::vector<std::uint64_t>{1}));

    // Without the window list no window can be told apart: the display is not captured at all.
    ASSERT_TRUE(consent->setPrivateBrowsing(false));
    fake->content = platform::CaptureError{"gone"};
    std::optional<std::string> error;
    gate->captureDisplay({7, 800, 600}, {}, 100, 100, [&](platform::CaptureResult r) {
        if (auto* e = std::get_if<platform::CaptureError>(&r)) error = e->description;
    });
    EXPECT_EQ(error, "gone");
    EXPECT_EQ(fake->blanked.size(), 2u);
}

// The accessibility bus launcher on a session bus of its own, switched on: the gate reads only then.
class PrivateBus {
public:
    explicit PrivateBus(const fs::path& dir) {
        const fs::path config = dir / "bus.conf";
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
            ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::execl("/usr/libexec/at-spi-bus-launcher", "at-spi-bus-launcher", nullptr);
            ::_exit(127);
        }
        connection_ = QDBusConnection::connectToBus(address_, "ws-never-" + QString::number(daemon_));
        waitUntil([this] {
            auto m = QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress");
            return connection_.call(m, QDBus::Block, 1000).type() == QDBusMessage::ReplyMessage;
        });
    }
    ~PrivateBus() {
        QDBusConnection::disconnectFromBus(connection_.name());
        if (launcher_ > 0) ::kill(launcher_, SIGTERM), ::waitpid(launcher_, nullptr, 0);
        if (daemon_ > 0) ::kill(daemon_, SIGTERM);
    }
    QDBusConnection connection() const { return connection_; }

private:
    QString address_;
    pid_t daemon_ = -1;
    pid_t launcher_ = -1;
    QDBusConnection connection_{QString()};
};

struct Field : platform::AXElement {
    std::optional<platform::AXValue> attribute(const std::string&) override { return std::nullopt; }
};

// Answers with one field, in the place the test sets.
struct PlacedReader : FocusedTextReader {
    explicit PlacedReader(FocusedPlace& place) : place_(place) {}
    std::shared_ptr<platform::AXElement> focusedElement() override { return std::make_shared<Field>(); }
    std::shared_ptr<platform::AXElement> focusedElementWithPlace(FocusedPlace& place) override {
        place = place_;
        return focusedElement();
    }
    FocusedPlace& place_;
};

TEST(PlacesNeverReadTest, AFieldInAPlaceNeverReadIsNoField) {
    ASSERT_TRUE(haveApp());
    Machine machine;
    PrivateBus desktop(machine.dir);
    auto consent = std::make_shared<Consent>(machine.settings());
    ASSERT_TRUE(consent->setTypedText(true));
    ASSERT_TRUE(consent->setNeverRead({"org.example.Notes", "python3.11"}));
    FocusedPlace place;
    auto bus = std::make_shared<AccessibilityBus>(desktop.connection());
    ConsentAccessibility gate(consent, bus, [&place] { return std::make_unique<PlacedReader>(place); }, nullptr);
    gate.setPlacesNeverRead(std::make_shared<PlacesNeverRead>(consent, machine.identity()));
    ASSERT_TRUE(waitUntil([&] { return gate.isProcessTrusted(); })) << "the bus did not come on";
    auto reads = [&](int pid, std::string app, std::string title) {
        place = {pid, std::move(app), std::move(title)};
        return gate.focusedElement() != nullptr;
    };
    EXPECT_TRUE(reads(11, "editor", "draft.txt - Editor"));
    EXPECT_FALSE(reads(10, "notes", "Notes"));
    // By the application's accessible name where the process says nothing.
    EXPECT_FALSE(reads(0, "NotesWindow", "Notes"));
    // By the executable, for a process without an entry of its own.
    EXPECT_FALSE(reads(13, "python3", "Terminal"));
    EXPECT_TRUE(reads(12, "chat", "Chat"));
    // Chromium's accessible name of an incognito window; Firefox's title of a private one.
    EXPECT_FALSE(reads(11, "Chromium", "Mail - Chromium (Incognito)"));
    EXPECT_FALSE(reads(11, "Firefox", "Banking — Mozilla Firefox Private Browsing"));
    EXPECT_FALSE(reads(15, "Firefox", "Shop — Mozilla Firefox"));
    ASSERT_TRUE(consent->setPrivateBrowsing(true));
    EXPECT_TRUE(reads(11, "Chromium", "Mail - Chromium (Incognito)"));
    EXPECT_TRUE(reads(15, "Firefox", "Shop — Mozilla Firefox"));

    // Quit a moment ago, before the reader noticed: what it still holds is not read, whether the
    // process waits to be reaped (and so no longer tells which application it was) or is gone.
    machine.process(16, "", "", "");
    EXPECT_FALSE(reads(16, "wsprobe", "Diary"));
    fs::remove_all(machine.dir / "proc" / "11");
    EXPECT_FALSE(reads(11, "editor", "draft.txt - Editor"));
}

TEST(PlacesNeverReadTest, WhatReadsMoreCountsOnceOnDiskAndWhatReadsLessCountsAtOnce) {
    Machine machine;
    {
        Consent consent(machine.settings());
        EXPECT_FALSE(consent.privateBrowsing());
        EXPECT_TRUE(consent.neverRead().empty());
        ASSERT_TRUE(consent.setNeverRead({"org.example.Notes", "chat", "chat"}));
        ASSERT_TRUE(consent.setPrivateBrowsing(true));
    }
    Consent consent(machine.settings());
    EXPECT_EQ(consent.neverRead(), (Names{"chat", "org.example.Notes"}));
    EXPECT_TRUE(consent.privateBrowsing());
    int changes = 0;
    consent.onChange([&] { ++changes; });

    // The folder swapped for a plain file: every write fails from now on.
    const fs::path folder = machine.dir / "locked";
    fs::create_directories(folder);
    Consent refused((folder / "agent.ini").string());
    ASSERT_TRUE(refused.setNeverRead({"chat"}));
    ASSERT_TRUE(refused.setPrivateBrowsing(true));
    fs::remove_all(folder);
    std::ofstream(folder) << "not a folder";
    // Taking one off the list is refused and it stays unread; adding one holds at once all the same.
    EXPECT_FALSE(refused.setNeverRead({}));
    EXPECT_EQ(refused.neverRead(), Names{"chat"});
    EXPECT_FALSE(refused.setNeverRead({"notes"}));
    EXPECT_EQ(refused.neverRead(), (Names{"chat", "notes"}));
    EXPECT_FALSE(refused.setPrivateBrowsing(false));
    EXPECT_FALSE(refused.privateBrowsing());
    EXPECT_FALSE(refused.setPrivateBrowsing(true));
    EXPECT_FALSE(refused.privateBrowsing());
    EXPECT_EQ(changes, 0);
    ASSERT_TRUE(consent.setNeverRead({"chat"}));
    EXPECT_EQ(changes, 1);
}

TEST(PlacesNeverReadTest, ThePrivacyWindowListsWhatIsNeverReadAndTheSwitchForPrivateBrowsing) {
    ASSERT_TRUE(haveApp());
    Machine machine;
    auto consent = std::make_shared<Consent>(machine.settings());
    QtConsentWindow window(consent, [] { return std::string("http://127.0.0.1:1"); });
    auto* list = window.findChild<QListWidget*>();
    auto* choices = window.findChild<QComboBox*>();
    ASSERT_TRUE(list && choices);
    EXPECT_FALSE(list->isVisibleTo(&window)) << "offered without anything to pick from";
    window.offerNeverRead(machine.identity());
    EXPECT_TRUE(list->isVisibleTo(&window));
    QPushButton *add = nullptr, *remove = nullptr;
    QCheckBox* privateWindows = nullptr;
    for (auto* b : window.findChildren<QPushButton*>())
        (b->text() == "&Add" ? add : b->text() == "&Remove" ? remove : b) = b;
    for (auto* c : window.findChildren<QCheckBox*>())
        if (c->text().contains("private")) privateWindows = c;
    ASSERT_TRUE(add && remove && privateWindows);

    ASSERT_EQ(choices->count(), 4) << "the installed entries to pick from";
    choices->setCurrentIndex(choices->findText("Notes"));
    add->click();
    EXPECT_EQ(consent->neverRead(), Names{"org.example.Notes"});
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "Notes");
    EXPECT_EQ(choices->findText("Notes"), -1) << "a listed application is offered again";
    EXPECT_EQ(Consent(machine.settings()).neverRead(), Names{"org.example.Notes"}) << "not on disk";

    list->setCurrentRow(0);
    remove->click();
    EXPECT_TRUE(consent->neverRead().empty());
    EXPECT_EQ(list->count(), 0);

    EXPECT_FALSE(privateWindows->isChecked());
    privateWindows->click();
    EXPECT_TRUE(Consent(machine.settings()).privateBrowsing());
    privateWindows->click();
    EXPECT_FALSE(consent->privateBrowsing());
}

}  // namespace
