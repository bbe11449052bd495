// The KWin add-on without a KWin: the script it loads, the reports it reads, and the whole
// conversation with a stand-in KWin on the private session bus.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include "platform/linux/wayland/KWinScriptWatcher.h"

namespace {

using linuxplatform::CompositorWindow;
using linuxplatform::KWinScriptWatcher;

TEST(KWinScriptTest, TheScriptReportsToUsAndAReportNamesTheActiveWindowOrNone) {
    const auto text = KWinScriptWatcher::script(":1.42");
    EXPECT_NE(text.find(R"(callDBus(":1.42", "/com/wellspire/agent/ActiveWindow", "com.wellspire.agent.ActiveWindow")"),
              std::string::npos);
    for (const char* name : {"workspace.windowActivated", "workspace.clientActivated", "workspace.activeWindow", "workspace.activeClient"})
        EXPECT_NE(text.find(name), std::string::npos) << name;  // KWin 6 and KWin 5

    const auto w = KWinScriptWatcher::windowOfReport(
        R"({"id":"{5e1c}","pid":4242,"resourceClass":"org.kde.dolphin","x":10.4,"y":20,"width":800.6,"height":600})");
    ASSERT_TRUE(w);
    EXPECT_EQ(w->pid, 4242);
    EXPECT_EQ(w->appId, "org.kde.dolphin");
    EXPECT_EQ(std::vector<int>({w->frame.x, w->frame.y, w->frame.width, w->frame.height}), std::vector<int>({10, 20, 801, 600}));
    EXPECT_NE(w->id, KWinScriptWatcher::windowOfReport(R"({"id":"{other}","pid":4242})")->id);
    for (const char* none : {"{}", "not json", R"({"pid":"x","resourceClass":7})"}) EXPECT_FALSE(KWinScriptWatcher::windowOfReport(none));
    const auto odd = KWinScriptWatcher::windowOfReport(R"({"pid":-3,"resourceClass":"x","x":1e300,"y":0,"width":1,"height":1})");
    EXPECT_FALSE(odd->pid);
    EXPECT_EQ(odd->frame.width, 0);  // a frame with a value out of range is no frame
}

bool pumpUntil(const std::function<bool()>& ready) {
    QElapsedTimer t;
    for (t.start(); !ready() && t.elapsed() < 5000;) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return ready();
}

// KWin's scripting object as far as the watcher uses it: it reads the loaded file, and once started
// reports an active window to whoever the script names, as the script would.
class FakeScripting final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        calls.push_back(message.member().toStdString());
        if (message.member() == QLatin1String("loadScript")) {
            QFile file(message.arguments().value(0).toString());
            if (file.open(QIODevice::ReadOnly)) script = file.readAll().toStdString();
        }
        connection.send(message.createReply(QVariant(7)));
        if (message.member() == QLatin1String("start")) report(connection, R"({"id":"{a}","pid":4242,"x":0,"y":0,"width":800,"height":600})");
        return true;
    }
    // From another connection than KWin's the call waits for its answer: it has been handled on return.
    void report(QDBusConnection from, const std::string& json, bool wait = false) {
        const auto at = script.find("callDBus(\"") + 10;  // the service the script calls
        auto call = QDBusMessage::createMethodCall(QString::fromStdString(script.substr(at, script.find('"', at) - at)),
                                                   KWinScriptWatcher::objectPath, KWinScriptWatcher::interfaceName,
                                                   QStringLiteral("windowActivated"));
        call << QString::fromStdString(json);
        if (wait) from.call(call, QDBus::BlockWithGui);
        else from.asyncCall(call);
    }
    std::vector<std::string> calls;
    std::string script;
};

TEST(KWinScriptTest, TheWatcherLoadsItsScriptIntoKWinAndHearsOnlyKWin) {
    static int argc = 1;
    static char name[] = "integration_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    if (!QDBusConnection::sessionBus().isConnected() || KWinScriptWatcher::available())
        GTEST_SKIP() << "needs a private session bus without KWin (scripts/session)";
    auto kwin = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-kwin"));
    FakeScripting scripting;
    ASSERT_TRUE(kwin.registerService(QStringLiteral("org.kde.KWin")) && kwin.registerVirtualObject(QStringLiteral("/Scripting"), &scripting));
    ASSERT_TRUE(KWinScriptWatcher::available());
    {
        KWinScriptWatcher watcher;
        std::vector<std::optional<CompositorWindow>> told;
        watcher.followFocus([&](const std::optional<CompositorWindow>& w) { told.push_back(w); });
        ASSERT_TRUE(pumpUntil([&] { return !told.empty(); }));
        EXPECT_EQ(scripting.calls, (std::vector<std::string>{"unloadScript", "loadScript", "start"}));
        EXPECT_EQ(told[0]->pid, 4242);
        EXPECT_EQ(watcher.focusedWindowQuery()()->width, 800);
        // Another client of the bus cannot pass for KWin; the same window again is no change.
        scripting.report(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("other")),
                         R"({"id":"{b}","pid":666})", true);
        EXPECT_EQ(watcher.focusedWindow()->pid, 4242);
        scripting.report(kwin, R"({"id":"{a}","pid":4242,"x":5})");
        scripting.report(kwin, "{}");
        ASSERT_TRUE(pumpUntil([&] { return told.size() >= 2; }));
        EXPECT_EQ(told.size(), 2u);
        EXPECT_FALSE(told[1]);
        QDBusConnection::disconnectFromBus(QStringLiteral("other"));
    }
    ASSERT_TRUE(pumpUntil([&] { return scripting.calls.size() == 4; }));
    EXPECT_EQ(scripting.calls.back(), "unloadScript");  // gone, it takes its script out of KWin
    kwin.unregisterService(QStringLiteral("org.kde.KWin"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-kwin"));
}

TEST(KWinScriptTest, AKWinThatRestartsGetsTheScriptAgainAndItsNewNameIsHeard) {
    static int argc = 1;
    static char name[] = "integration_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    if (!QDBusConnection::sessionBus().isConnected() || KWinScriptWatcher::available())
        GTEST_SKIP() << "needs a private session bus without KWin (scripts/session)";
    const auto service = QStringLiteral("org.kde.KWin");
    FakeScripting first, second;
    {
        auto kwin = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-kwin-first"));
        ASSERT_TRUE(kwin.registerService(service) && kwin.registerVirtualObject(QStringLiteral("/Scripting"), &first));
    }
    KWinScriptWatcher watcher;
    std::vector<std::optional<CompositorWindow>> told;
    watcher.followFocus([&](const std::optional<CompositorWindow>& w) { told.push_back(w); });
    ASSERT_TRUE(pumpUntil([&] { return told.size() == 1; }));

    // KWin goes away, and a new one (a new unique name) takes its place.
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-kwin-first"));
    auto again = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-kwin-second"));
    ASSERT_TRUE(again.registerVirtualObject(QStringLiteral("/Scripting"), &second));
    ASSERT_TRUE(pumpUntil([&] { return again.registerService(service); }));
    ASSERT_TRUE(pumpUntil([&] { return second.calls.size() >= 3; }));
    EXPECT_EQ(second.calls, (std::vector<std::string>{"unloadScript", "loadScript", "start"}));
    second.report(again, R"({"id":"{c}","pid":5151})");
    ASSERT_TRUE(pumpUntil([&] { return told.size() == 2; }));
    EXPECT_EQ(told[1]->pid, 5151);
    again.unregisterService(service);
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-kwin-second"));
}

}  // namespace
