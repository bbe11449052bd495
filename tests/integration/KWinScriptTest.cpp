// The KWin add-on without a KWin: the script it loads, the reports it takes, and the whole
// conversation with a stand-in KWin on the private session bus.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/wayland/KWinScriptWatcher.h"

namespace {

using linuxplatform::CompositorWindow;
using linuxplatform::KWinScriptWatcher;

TEST(KWinScriptTest, TheScriptReportsEveryActivationToUsOnKWin5And6) {
    const auto text = KWinScriptWatcher::script(":1.42");
    EXPECT_NE(text.find(R"(callDBus(":1.42", "/com/wellspire/agent/ActiveWindow", "com.wellspire.agent.ActiveWindow", "windowActivated")"),
              std::string::npos);
    for (const char* name : {"workspace.windowActivated", "workspace.clientActivated", "workspace.activeWindow",
                             "workspace.activeClient", "frameGeometry", "resourceClass", "window.pid", "JSON.stringify"})
        EXPECT_NE(text.find(name), std::string::npos) << name;
    EXPECT_EQ(text.find('@'), std::string::npos);  // every placeholder filled
}

TEST(KWinScriptTest, AReportNamesTheActiveWindowOrNone) {
    const auto w = KWinScriptWatcher::windowOfReport(
        R"({"id":"{5e1c}","pid":4242,"resourceClass":"org.kde.dolphin","x":10.4,"y":20,"width":800.6,"height":600})");
    ASSERT_TRUE(w);
    EXPECT_EQ(w->pid, 4242);
    EXPECT_EQ(w->appId, "org.kde.dolphin");
    EXPECT_EQ(w->frame.x, 10);
    EXPECT_EQ(w->frame.width, 801);  // KWin 6 gives fractions
    EXPECT_TRUE(w->focused);
    EXPECT_NE(w->id, KWinScriptWatcher::windowOfReport(R"({"id":"{other}","pid":4242})")->id);
    EXPECT_FALSE(KWinScriptWatcher::windowOfReport("{}"));           // no active window
    EXPECT_FALSE(KWinScriptWatcher::windowOfReport("not json"));
    EXPECT_FALSE(KWinScriptWatcher::windowOfReport(R"({"pid":"x","resourceClass":7})"));
    const auto odd = KWinScriptWatcher::windowOfReport(R"({"pid":-3,"resourceClass":"x","x":1e300,"y":0,"width":1,"height":1})");
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->pid);
    EXPECT_EQ(odd->frame.width, 0);  // a frame with a value out of range is no frame
}

void ensureApp() {
    static int argc = 1;
    static char name[] = "integration_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

bool pumpUntil(const std::function<bool()>& ready) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (ready()) return true;
        std::this_thread::yield();
    }
    return ready();
}

// KWin's scripting object as far as the watcher uses it: it loads the file, and when started reports
// the active window to whoever the script names, as the script would.
class FakeScripting final : public QDBusVirtualObject {
public:
    explicit FakeScripting(QDBusConnection bus) : bus_(std::move(bus)) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        calls.push_back(message.member().toStdString());
        if (message.member() == QLatin1String("loadScript")) {
            QFile file(message.arguments().value(0).toString());
            if (file.open(QIODevice::ReadOnly)) script = file.readAll().toStdString();
            connection.send(message.createReply(QVariant(7)));
        } else if (message.member() == QLatin1String("unloadScript")) {
            connection.send(message.createReply(QVariant(false)));
        } else if (message.member() == QLatin1String("start")) {
            connection.send(message.createReply());
            report(R"({"id":"{a}","pid":4242,"resourceClass":"org.kde.dolphin","x":0,"y":0,"width":800,"height":600})");
        }
        return true;
    }
    // From another connection the call waits for its answer, so it has been handled on return.
    void report(const std::string& json, QDBusConnection* from = nullptr) {
        // The service the script calls is the first argument of its callDBus.
        const auto at = script.find("callDBus(\"") + 10;
        const auto service = QString::fromStdString(script.substr(at, script.find('"', at) - at));
        auto call = QDBusMessage::createMethodCall(service, QString::fromLatin1(KWinScriptWatcher::objectPath),
                                                   QString::fromLatin1(KWinScriptWatcher::interfaceName),
                                                   QStringLiteral("windowActivated"));
        call << QString::fromStdString(json);
        if (from)
            from->call(call, QDBus::BlockWithGui);
        else
            bus_.asyncCall(call);
    }
    std::vector<std::string> calls;
    std::string script;

private:
    QDBusConnection bus_;
};

TEST(KWinScriptTest, TheWatcherLoadsItsScriptIntoKWinAndHearsOnlyKWin) {
    ensureApp();
    if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus (run inside scripts/session)";
    if (KWinScriptWatcher::available()) GTEST_SKIP() << "a real KWin holds the name";
    auto kwinBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-kwin"));
    ASSERT_TRUE(kwinBus.registerService(QStringLiteral("org.kde.KWin")));
    FakeScripting scripting(kwinBus);
    ASSERT_TRUE(kwinBus.registerVirtualObject(QStringLiteral("/Scripting"), &scripting));
    ASSERT_TRUE(KWinScriptWatcher::available());
    {
        KWinScriptWatcher watcher;
        std::vector<std::optional<CompositorWindow>> told;
        watcher.followFocus([&](const std::optional<CompositorWindow>& w) { told.push_back(w); });
        ASSERT_TRUE(pumpUntil([&] { return !told.empty(); }));
        EXPECT_EQ(scripting.calls, (std::vector<std::string>{"unloadScript", "loadScript", "start"}));
        ASSERT_TRUE(told[0]);
        EXPECT_EQ(told[0]->pid, 4242);
        EXPECT_EQ(watcher.windows().size(), 1u);
        EXPECT_EQ(watcher.focusedWindowQuery()()->width, 800);

        // Another client of the bus cannot pass for KWin; the same window again is no change.
        auto other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("impostor"));
        scripting.report(R"({"id":"{b}","pid":666,"resourceClass":"evil"})", &other);
        EXPECT_EQ(told.size(), 1u);
        EXPECT_EQ(watcher.focusedWindow()->pid, 4242);
        scripting.report(R"({"id":"{a}","pid":4242,"resourceClass":"org.kde.dolphin","x":5,"y":0,"width":800,"height":600})");
        scripting.report("{}");
        ASSERT_TRUE(pumpUntil([&] { return told.size() >= 2; }));
        EXPECT_FALSE(told[1]);
        EXPECT_FALSE(watcher.focusedWindow());
        QDBusConnection::disconnectFromBus(QStringLiteral("impostor"));
    }
    // Gone, it unloads its script from KWin.
    ASSERT_TRUE(pumpUntil([&] { return scripting.calls.size() == 4; }));
    EXPECT_EQ(scripting.calls.back(), "unloadScript");
    kwinBus.unregisterObject(QStringLiteral("/Scripting"));
    kwinBus.unregisterService(QStringLiteral("org.kde.KWin"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-kwin"));
}

// A GTK 3 window in a process of its own, on the session's Wayland display.
pid_t gtkWindow(const char* title) {
    static const char* program = R"PY(
import sys, gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk
GLib.set_prgname("wsprobe")
w = Gtk.Window(title=sys.argv[1])
w.add(Gtk.Entry())
w.connect("destroy", Gtk.main_quit)
w.show_all()
Gtk.main()
)PY";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("GDK_BACKEND", "wayland", 1);
        ::execl("/usr/bin/python3", "python3", "-c", program, title, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Against a real KWin (kwin_wayland --virtual on this session bus, its socket in $WAYLAND_DISPLAY).
TEST(KWinScriptTest, ARealKWinRunsTheScriptAndTellsEachActivatedWindow) {
    ensureApp();
    if (!QDBusConnection::sessionBus().isConnected() || !KWinScriptWatcher::available() || !std::getenv("WAYLAND_DISPLAY"))
        GTEST_SKIP() << "needs kwin_wayland on the session bus and its $WAYLAND_DISPLAY";
    std::vector<pid_t> children;
    {
        KWinScriptWatcher watcher;
        std::vector<std::optional<CompositorWindow>> told;
        watcher.followFocus([&](const std::optional<CompositorWindow>& w) { told.push_back(w); });
        auto toldOf = [&](pid_t pid) {
            return std::any_of(told.begin(), told.end(), [&](const auto& w) { return w && w->pid == pid; });
        };
        children.push_back(gtkWindow("Alpha"));
        ASSERT_TRUE(pumpUntil([&] { return toldOf(children[0]); }));
        children.push_back(gtkWindow("Beta"));
        ASSERT_TRUE(pumpUntil([&] { return toldOf(children[1]); }));
        const auto active = watcher.focusedWindow();
        ASSERT_TRUE(active);
        EXPECT_EQ(active->pid, children[1]);
        EXPECT_EQ(active->appId, "wsprobe");
        EXPECT_GT(active->frame.width, 0);
        EXPECT_GT(active->frame.height, 0);
        EXPECT_EQ(watcher.focusedWindowQuery()()->width, active->frame.width);
    }
    // Gone, it has unloaded its script.
    auto loaded = QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
                                                 QStringLiteral("org.kde.kwin.Scripting"), QStringLiteral("isScriptLoaded"));
    loaded << QString::fromLatin1(KWinScriptWatcher::pluginName);
    bool stillLoaded = true;
    EXPECT_TRUE(pumpUntil([&] {
        const auto reply = QDBusConnection::sessionBus().call(loaded);
        stillLoaded = reply.arguments().value(0).toBool();
        return reply.type() == QDBusMessage::ReplyMessage && !stillLoaded;
    }));
    for (pid_t pid : children) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
}

}  // namespace
