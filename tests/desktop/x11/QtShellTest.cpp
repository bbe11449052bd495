// The Qt windowing layer on the private X display: panels, alerts, the main loop and URL hand-off.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cstdlib>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QMenu>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "desktop/DesktopHarness.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "platform/Platform.h"
#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/shell/QtOwnWindows.h"
#include "platform/linux/common/PosixFacilities.h"
#include "platform/linux/shell/QtMainLoop.h"
#include "platform/linux/shell/QtStatusItem.h"
#include "platform/linux/shell/QtWindowing.h"
#include "platform/linux/net/UrlEventServer.h"
#include "platform/linux/x11/X11FocusedWindow.h"
#include "platform/linux/x11/X11PanelPlacement.h"

namespace {

namespace fs = std::filesystem;

QApplication& app() {
    static int argc = 1;
    static char name[] = "desktop_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = [] {
        auto* made = new QApplication(argc, argv);
        // As the agent does: every window of the process is its own.
        linuxplatform::QtOwnWindows::install();
        return made;
    }();
    return *instance;
}

void pump(double seconds) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QApplication::sendPostedEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool pumpUntil(const std::function<bool()>& ready, double seconds) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

class QtShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        platform::Services s;
        s.clock = std::make_shared<linuxplatform::SystemClock>();
        s.mainLoop = std::make_shared<linuxplatform::QtMainLoop>();
        s.windowing = std::make_shared<linuxplatform::QtWindowing>(
            linuxplatform::FocusedWindowQuery{}, std::make_shared<linuxplatform::X11PanelPlacement>(
                                                     linuxplatform::X11PanelPlacement::Manager::X11WindowManager));
        s.files = std::make_shared<linuxplatform::PosixFiles>(linuxplatform::PosixFiles::kBundledResources);
        platform::install(s);
        Popup::shared().resetForTesting();
        Snooze::setUntil(platform::Clock::distantPast());
    }
    void TearDown() override {
        Popup::shared().closeAll();
        pump(0.2);
        Popup::shared().resetForTesting();
    }
    // The available area in X coordinates (y down).
    static QRect available() { return QGuiApplication::primaryScreen()->availableGeometry(); }
};

TEST_F(QtShellTest, PanelsStackUnderTheTopRightCornerAndTheSixthEvictsTheOldest) {
    for (int i = 1; i <= 6; ++i) Popup::shared().show("Check-in " + std::to_string(i), "Message number " + std::to_string(i), false);
    ASSERT_TRUE(pumpUntil([] { return desktop::windowsNamed("^Check-in 6").size() == 1; }, 10));
    pump(0.5);
    EXPECT_TRUE(desktop::windowsNamed("^Check-in 1").empty());
    const QRect area = available();
    int expectedTop = area.y() + 22;
    for (int i = 2; i <= 6; ++i) {
        auto ids = desktop::windowsNamed("^Check-in " + std::to_string(i) + "Message number");
        ASSERT_EQ(ids.size(), 1u) << i;
        auto g = desktop::geometry(ids[0]);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->width, 380) << i;
        EXPECT_EQ(g->x, area.x() + area.width() - 22 - 380) << i;
        EXPECT_EQ(g->y, expectedTop) << i;
        expectedTop += g->height + 10;
    }
}

// What captures leave out: exactly the windows on screen, where they are now.
TEST_F(QtShellTest, ShownPanelsAreTheAgentsOwnWindowsUntilTheyClose) {
    const auto published = [](const std::string& title) {
        const auto g = desktop::geometry(desktop::windowsNamed("^" + title)[0]);
        const auto frames = linuxplatform::OwnWindows::shared().frames();
        return g && std::any_of(frames.begin(), frames.end(), [&](const auto& f) {
                   return f.x == g->x && f.y == g->y && f.width == g->width && f.height == g->height;
               });
    };
    Popup::shared().show("Upper", "The first check-in.", false);
    Popup::shared().show("Lower", "The second check-in.", false);
    ASSERT_TRUE(pumpUntil([] { return desktop::windowsNamed("^Lower").size() == 1; }, 10));
    pump(0.5);
    EXPECT_EQ(linuxplatform::OwnWindows::shared().frames().size(), 2u);
    EXPECT_TRUE(published("Upper") && published("Lower"));
    // "Dismiss" on the upper one: the lower one moves up, and its published frame with it.
    const auto upper = desktop::geometry(desktop::windowsNamed("^Upper")[0]);
    desktop::sh("xdotool mousemove " + std::to_string(upper->x + 300) + " " +
                std::to_string(upper->y + upper->height - 35) + " click 1");
    ASSERT_TRUE(pumpUntil([] { return desktop::windowsNamed("^Upper").empty(); }, 10));
    pump(0.5);
    EXPECT_EQ(desktop::geometry(desktop::windowsNamed("^Lower")[0])->y, upper->y);
    EXPECT_EQ(linuxplatform::OwnWindows::shared().frames().size(), 1u);
    EXPECT_TRUE(published("Lower"));
    Popup::shared().closeAll();
    pump(0.3);
    EXPECT_TRUE(linuxplatform::OwnWindows::shared().frames().empty());
}

// Measured on sway: a managed Xwayland window is centred and focused, an override-redirect one
// stays where it is put and leaves the focus alone. An X11 window manager keeps the panel managed.
TEST_F(QtShellTest, PanelsBypassTheWindowManagerOnlyOverAWaylandCompositor) {
    using Manager = linuxplatform::X11PanelPlacement::Manager;
    for (const auto manager : {Manager::X11WindowManager, Manager::WaylandCompositor}) {
        auto services = platform::get();
        services.windowing = std::make_shared<linuxplatform::QtWindowing>(
            linuxplatform::FocusedWindowQuery{}, std::make_shared<linuxplatform::X11PanelPlacement>(manager));
        platform::install(services);
        Popup::shared().show("Placed", "By the session.", false);
        ASSERT_TRUE(pumpUntil([] { return desktop::windowsNamed("^Placed").size() == 1; }, 10));
        pump(0.5);
        const auto id = desktop::windowsNamed("^Placed")[0];
        const std::string info = desktop::sh("xwininfo -id " + id + "; xprop -id " + id + " _NET_WM_DESKTOP");
        const bool bypassing = manager == Manager::WaylandCompositor;
        EXPECT_EQ(info.find("Override Redirect State: yes") != std::string::npos, bypassing) << info;
        // On every desktop (all-ones), where a window manager manages it.
        EXPECT_EQ(info.find("_NET_WM_DESKTOP(CARDINAL) = 4294967295") != std::string::npos, !bypassing) << info;
        const auto g = desktop::geometry(id);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->x, available().x() + available().width() - 22 - 380);
        EXPECT_EQ(g->y, available().y() + 22);
        Popup::shared().closeAll();
        pump(0.3);
    }
}

TEST_F(QtShellTest, CrisisAndGentlePanelsLookAsLaidOut) {
    Popup::shared().show("Wellspire — let’s loop someone in",
                         "Something you just wrote suggests you’re in real pain. You don’t have to carry it alone. "
                         "If it’s urgent, call or text 988.",
                         true);
    Popup::shared().show("Wellspire noticed something",
                         "The last little while has leaned harder than your usual. Want to take a breath or talk it "
                         "through?",
                         false);
    ASSERT_TRUE(pumpUntil([] { return desktop::windowsNamed("^Wellspire noticed").size() == 1; }, 10));
    pump(0.8);
    auto crisis = desktop::geometry(desktop::windowsNamed("^Wellspire — let’s loop")[0]);
    auto gentle = desktop::geometry(desktop::windowsNamed("^Wellspire noticed")[0]);
    ASSERT_TRUE(crisis && gentle);
    const QRect area = available();
    EXPECT_EQ(crisis->x + crisis->width, area.x() + area.width() - 22);
    EXPECT_EQ(crisis->y, area.y() + 22);
    EXPECT_EQ(gentle->y, crisis->y + crisis->height + 10);
    // H = T + M + 136 with a one-line title (at least 15 pt) and a wrapped message.
    EXPECT_GE(crisis->height, 136 + 18 + 30);
    EXPECT_LT(crisis->height, 136 + 40 + 120);

    const std::string shot = desktop::buildDir() + "/desktop-panels.png";
    ASSERT_TRUE(desktop::screenshot(shot));
    for (const auto& [g, name] : {std::pair{*crisis, "crisis"}, std::pair{*gentle, "gentle"}}) {
        const std::string crop = desktop::buildDir() + "/" + name + "-panel.png";
        desktop::sh("convert " + desktop::shellQuote(shot) + " -crop " + std::to_string(g.width) + "x" +
                    std::to_string(g.height) + "+" + std::to_string(g.x) + "+" + std::to_string(g.y) + " +repage " +
                    desktop::shellQuote(crop));
        // Bottom-right inside the rounded corner lies outside the glow: the plain background.
        auto bg = desktop::pixel(shot, g.x + g.width - 24, g.y + g.height - 8);
        ASSERT_TRUE(bg);
        EXPECT_NEAR((*bg)[0], 5, 4) << name;
        EXPECT_NEAR((*bg)[1], 6, 4) << name;
        EXPECT_NEAR((*bg)[2], 8, 4) << name;
        // The primary button is white, away from its title.
        auto button = desktop::pixel(shot, g.x + 30, g.y + g.height - 58 - 15);
        ASSERT_TRUE(button);
        EXPECT_GE((*button)[0], 240) << name;
        EXPECT_GE((*button)[2], 240) << name;
    }
    // The glow between the message and the button: warm for a crisis, cool for a gentle check-in.
    auto glowAt = [&](const desktop::WindowGeometry& g) {
        return desktop::pixel(shot, g.x + static_cast<int>(0.28 * 380), g.y + g.height - 96);
    };
    auto warm = glowAt(*crisis);
    auto cool = glowAt(*gentle);
    ASSERT_TRUE(warm && cool);
    EXPECT_GT((*warm)[0], (*warm)[2] + 3);
    EXPECT_GT((*cool)[2], (*cool)[0]);
    EXPECT_GT((*warm)[0], 8);
}

TEST_F(QtShellTest, StatusIconShowsTheEmblemWithTheStatusDotAndTheMenuLines) {
    auto& windowing = *platform::get().windowing;
    auto item = std::dynamic_pointer_cast<linuxplatform::QtStatusItem>(windowing.createStatusItem());
    ASSERT_TRUE(item);
    auto emblem = windowing.loadImage(":/resources/menubar.png");
    ASSERT_TRUE(emblem);
    emblem->setSize(20, 20);
    emblem->setTemplate(false);
    item->setImage(emblem);
    auto dotAt = [&] {
        const QImage icon = item->tray()->icon().pixmap(40, 40).toImage();
        return icon.pixelColor(icon.width() * 3 / 4, icon.height() * 3 / 4);
    };
    item->setTitle(" 🟢");
    EXPECT_GT(dotAt().green(), 180);
    EXPECT_LT(dotAt().red(), 90);
    item->setTitle(" 🔴");
    EXPECT_GT(dotAt().red(), 220);
    EXPECT_LT(dotAt().green(), 90);

    auto items = item->setMenu({{false, "Status", "", nullptr}, {true, "", "", nullptr}, {false, "Send & go", "t", [] {}}});
    ASSERT_EQ(items.size(), 3u);
    EXPECT_FALSE(items[1]);
    const auto actions = item->menu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_FALSE(actions[0]->isEnabled());
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), "Send && go");
    EXPECT_EQ(actions[2]->shortcut(), QKeySequence("Ctrl+T"));
    items[0]->setTitle("Wellspire — paused");
    EXPECT_EQ(actions[0]->text(), "Wellspire — paused");
}

TEST_F(QtShellTest, AlertReturnsTheCodeOfThePressedButton) {
    auto pressLater = [] {
        QTimer::singleShot(300, [] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            for (auto* b : box->buttons())
                if (b->text() == "Later") b->click();
        });
    };
    pressLater();
    const int code = platform::get().windowing->runModal({"Accessibility permission needed", "Grant access.", {"Open Settings", "Later"}});
    EXPECT_EQ(code, platform::kAlertFirstButtonReturn + 1);
}

TEST_F(QtShellTest, PostedTasksRunInCallOrderFromAnyThreadAndTimersRepeat) {
    std::vector<int> order;
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) platform::mainLoop().post([&order, i] { order.push_back(i); });
    });
    other.join();
    for (int i = 100; i < 110; ++i) platform::mainLoop().post([&order, i] { order.push_back(i); });
    // Shared: the timer fires on after this test has returned.
    auto fired = std::make_shared<int>(0);
    auto handle = platform::mainLoop().scheduleRepeating(0.05, [fired] { ++*fired; });
    handle.reset();  // the timer outlives its handle
    ASSERT_TRUE(pumpUntil([&] { return *fired >= 3 && order.size() == 110; }, 5));
    for (int i = 0; i < 110; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_TRUE(platform::mainLoop().isMainThread());
    bool off = true;
    std::thread([&] { off = platform::mainLoop().isMainThread(); }).join();
    EXPECT_FALSE(off);
}

class UrlHandOffTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        char pattern[] = "/tmp/ws-runtime.XXXXXX";
        runtime = ::mkdtemp(pattern);
        saved = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    void TearDown() override {
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        std::error_code ec;
        fs::remove_all(runtime, ec);
    }
    std::string runtime, saved;
};

TEST_F(UrlHandOffTest, ARunningAgentReceivesTheUrlAndNothingElse) {
    EXPECT_FALSE(linuxplatform::UrlEventServer::handOff(std::string("wellspire://pair?token=x")));  // nobody listens
    linuxplatform::UrlEventServer server;
    ASSERT_TRUE(server.listen());
    linuxplatform::UrlEventServer second;
    EXPECT_FALSE(second.listen());  // one agent per user

    struct stat st {};
    ASSERT_EQ(::stat((runtime + "/wellspire-agent").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::vector<std::optional<std::string>> got;
    server.setGetURLHandler([&](const std::optional<std::string>& url) { got.push_back(url); });
    std::atomic<int> results{0};
    std::thread sender([&] {
        results += linuxplatform::UrlEventServer::handOff(std::string("wellspire://pair?token=abc%20d")) ? 1 : 0;
        results += linuxplatform::UrlEventServer::handOff(std::nullopt) ? 1 : 0;
    });
    ASSERT_TRUE(pumpUntil([&] { return results.load() == 2 || !got.empty(); }, 5));
    pumpUntil([&] { return results.load() == 2; }, 5);
    sender.join();
    pump(0.2);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "wellspire://pair?token=abc%20d");
}

TEST_F(UrlHandOffTest, UrlsBeforeTheHandlerWaitForItAndAStaleSocketIsReplaced) {
    {
        // What a crashed agent leaves behind: the socket file, and nobody listening on it.
        const std::string path = *linuxplatform::UrlEventServer::socketPath();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
        ASSERT_TRUE(fs::exists(path));
    }
    linuxplatform::UrlEventServer server;
    ASSERT_TRUE(server.listen());
    server.deliver("wellspire://pair?token=early");
    std::vector<std::string> got;
    server.setGetURLHandler([&](const std::optional<std::string>& url) { got.push_back(url.value_or("")); });
    EXPECT_EQ(got, std::vector<std::string>{"wellspire://pair?token=early"});
}

TEST_F(UrlHandOffTest, AnotherUserCannotReachTheAgent) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    linuxplatform::UrlEventServer server;
    ASSERT_TRUE(server.listen());
    std::vector<std::string> got;
    server.setGetURLHandler([&](const std::optional<std::string>& url) { got.push_back(url.value_or("")); });
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        const bool delivered = linuxplatform::UrlEventServer::handOff(std::string("wellspire://pair?token=evil"));
        ::_exit(delivered ? 1 : 0);
    }
    int status = 0;
    ASSERT_TRUE(pumpUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    pump(0.3);
    EXPECT_TRUE(got.empty());
}

TEST_F(QtShellTest, AWordTooLongForTheLineWrapsInsideThePanelAndItsHeightCountsEveryLine) {
    auto& windowing = *platform::get().windowing;
    const platform::Font titleFont{15, true}, messageFont{13, false};
    const std::string title = "Long words", message = std::string(80, 'W');  // about 1000 pixels, no break
    const double line = windowing.textHeight("W", messageFont, 340);
    const double T = windowing.textHeight(title, titleFont, 340);
    const double M = windowing.textHeight(message, messageFont, 340);
    EXPECT_GE(M, 3 * line - 1);

    Popup::shared().show(title, message, false);
    ASSERT_TRUE(pumpUntil([&] { return desktop::windowsNamed("^" + title).size() == 1; }, 10));
    pump(0.8);
    auto g = desktop::geometry(desktop::windowsNamed("^" + title)[0]);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->height, static_cast<int>(T + M + 136));
    const std::string shot = desktop::buildDir() + "/desktop-long-word.png";
    ASSERT_TRUE(desktop::screenshot(shot));
    const QImage image(QString::fromStdString(shot));
    ASSERT_FALSE(image.isNull());
    // Ink (the message's grey 0.86) down to the last line measured, and never in the right margin.
    const int top = g->y + 20 + static_cast<int>(T) + 12;
    int inMargin = 0, inLastLine = 0;
    for (int y = top; y < top + static_cast<int>(M); ++y) {
        for (int x = g->x + 20; x < g->x + g->width - 4; ++x) {
            if (QColor(image.pixel(x, y)).lightness() <= 150) continue;
            if (x >= g->x + 20 + 340 + 2) ++inMargin;
            if (y >= top + static_cast<int>(M - line)) ++inLastLine;
        }
    }
    EXPECT_EQ(inMargin, 0);
    EXPECT_GT(inLastLine, 0);
}

namespace {

// Two monitors side by side on the one X screen of 1920 × 1200 pixels: the left one primary.
bool useTwoMonitors(bool two) {
    if (two)
        desktop::sh("xrandr --setmonitor left 960/254x1200/318+0+0 screen && "
                    "xrandr --setmonitor right 960/254x1200/318+960+0 none");
    else
        desktop::sh("xrandr --delmonitor right; xrandr --delmonitor left");
    const auto count = two ? 2 : 1;
    return pumpUntil([count] { return QGuiApplication::screens().size() == count; }, 10);
}

// A window people type in, given keyboard focus on the screen around the point.
std::unique_ptr<QWidget> focusedWindowAt(int x, int y) {
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle("Typing here");
    window->setGeometry(x, y, 300, 200);
    window->show();
    window->activateWindow();
    pumpUntil([&] {
        const auto frame = linuxplatform::x11FocusedWindowFrame();
        return frame && std::abs(frame->x - x) < 60 && std::abs(frame->y - y) < 60;
    }, 10);
    return window;
}

}  // namespace

TEST_F(QtShellTest, PanelsGoToTheScreenOfTheWindowWithKeyboardFocus) {
    if (!useTwoMonitors(true)) {
        useTwoMonitors(false);
        FAIL() << "Qt does not see the two monitors";
    }
    auto windowing = std::make_shared<linuxplatform::QtWindowing>(
        linuxplatform::x11FocusedWindowFrame, std::make_shared<linuxplatform::X11PanelPlacement>(
                                                  linuxplatform::X11PanelPlacement::Manager::X11WindowManager));
    auto services = platform::get();
    services.windowing = windowing;
    platform::install(services);

    const auto expectPanelAt = [&](const std::string& title, const QScreen* screen) {
        Popup::shared().show(title, "Where you are typing.", false);
        ASSERT_TRUE(pumpUntil([&] { return desktop::windowsNamed("^" + title).size() == 1; }, 10));
        pump(0.5);
        const auto g = desktop::geometry(desktop::windowsNamed("^" + title)[0]);
        ASSERT_TRUE(g);
        const QRect area = screen->availableGeometry();
        EXPECT_EQ(g->x, area.x() + area.width() - 22 - 380) << title;
        EXPECT_EQ(g->y, area.y() + 22) << title;
        Popup::shared().closeAll();
        pump(0.3);
    };
    const QScreen* left = QGuiApplication::screenAt(QPoint(100, 600));
    const QScreen* right = QGuiApplication::screenAt(QPoint(1500, 600));
    ASSERT_TRUE(left && right && left != right);
    EXPECT_EQ(QGuiApplication::primaryScreen(), left);
    {
        auto typing = focusedWindowAt(1300, 400);
        expectPanelAt("On the right", right);
    }
    {
        auto typing = focusedWindowAt(200, 400);
        expectPanelAt("On the left", left);
    }
    // No focused window named (as through Xwayland with a Wayland client in front), or one off
    // every screen: the primary screen.
    const QRect primary = left->availableGeometry();
    for (const auto answer : {std::optional<linuxplatform::DesktopRect>{},
                              std::optional(linuxplatform::DesktopRect{5000, 5000, 9, 9})}) {
        const auto frame = linuxplatform::QtWindowing([answer] { return answer; }).mainScreenVisibleFrame();
        EXPECT_TRUE(frame && frame->x == primary.x() && frame->width == primary.width());
    }
    EXPECT_TRUE(useTwoMonitors(false));
}

}  // namespace
