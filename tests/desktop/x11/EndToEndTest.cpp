// The real agent against the real development backend, as a user meets them.
#include <filesystem>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"

namespace {

using desktop::freePort;

using desktop::Agent;
using desktop::Seconds;
namespace fs = std::filesystem;

// build/wellspire-devserver on a free port with a database of its own.
class DevServerProcess {
public:
    DevServerProcess() : port_(freePort()) {
        char pattern[] = "/tmp/ws-devserver.XXXXXX";
        dir_ = ::mkdtemp(pattern);
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string exe = desktop::buildDir() + "/wellspire-devserver";
            const std::string port = std::to_string(port_), db = dir_ + "/db.sqlite3";
            ::execl(exe.c_str(), exe.c_str(), "--port", port.c_str(), "--db", db.c_str(), nullptr);
            ::_exit(127);
        }
        desktop::waitUntil([&] { return !desktop::sh("curl -s -m 1 " + base() + "/api/me").empty(); }, Seconds(10));
    }
    ~DevServerProcess() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int port_;
    pid_t pid_ = -1;
    std::string dir_;
};

std::size_t lines(const Agent& agent, const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& line : agent.log()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// Clicks a button of a check-in panel, given its frame inside the panel (y up, as laid out).
void clickPanelButton(const std::string& window, int x, int y, int w, int h) {
    auto g = desktop::geometry(window);
    ASSERT_TRUE(g);
    desktop::xdotool("mousemove " + std::to_string(g->x + x + w / 2) + " " + std::to_string(g->y + g->height - y - h / 2) +
                     " click 1");
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop::sh(std::string("secret-tool clear service org.wellspire.agent.device-token account device-token"));
    }
    void TearDown() override { SetUp(); }
    DevServerProcess server;
};

TEST_F(EndToEndTest, PairTypeSeeTheCheckInsAndIgnoreForAnHour) {
    desktop::ProbeWindow notes({"--title", "Journal", "--entries", "--position", "80,420", "--size", "700x200"});
    ASSERT_TRUE(notes.waitShown("Journal"));
    Agent agent(server.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("AX GRANTED", Seconds(20)));

    // Pairing: the dashboard's pairing page sends the browser to a wellspire: link.
    std::string location = desktop::sh("curl -s -o /dev/null -D - -d '' " + server.base() +
                                       "/pair-agent | sed -n 's/^[Ll]ocation: *//p' | tr -d '\\r\\n'");
    ASSERT_EQ(location.rfind("wellspire://pair?token=", 0), 0u) << location;
    EXPECT_EQ(agent.launchAgain({location}), 0);
    auto connected = desktop::waitForWindow("^Connected", Seconds(10));
    ASSERT_TRUE(connected);
    clickPanelButton(*connected, 252, 20, 108, 30);  // Dismiss

    // Heavy words on screen: scanned, confirmed in context, a quiet check-in. (First: any screen
    // check-in holds back further confirmations for 15 s.)
    desktop::ProbeWindow board({"--title", "Board", "--label", "feeling so alone and hopeless", "--size", "1000x260",
                                "--position", "60,100"});
    ASSERT_TRUE(board.waitShown("Board"));
    ASSERT_TRUE(board.activate());
    EXPECT_TRUE(desktop::waitForWindow("^Wellspire — a quiet check-in", Seconds(25)));
    EXPECT_TRUE(agent.waitForLog("confirmed in context → popup (crisis=false)", Seconds(2)));

    // A typed crisis sentence: the crisis check-in.
    ASSERT_TRUE(notes.activate());
    desktop::xdotool("type --delay 25 'honestly I just want to end my life'");
    ASSERT_TRUE(desktop::waitForWindow("^Wellspire — let’s loop someone in", Seconds(15)));
    EXPECT_TRUE(agent.waitForLog("SCAN level=high cats=[self_harm] tier3=true surface=urgent quiet=false", Seconds(2)));

    // A second one within minutes makes the pattern flag rise: the gating check-in.
    desktop::xdotool("key ctrl+a BackSpace");
    desktop::xdotool("type --delay 25 'nobody would care, I want to die'");
    EXPECT_TRUE(desktop::waitForWindow("^Wellspire — let's loop someone inA pattern crossed", Seconds(25)));

    // "Ignore 1h" on any panel: everything closes and nothing is read or sent for the hour.
    auto anyPanel = desktop::waitForWindow("^Wellspire — ", Seconds(2));
    ASSERT_TRUE(anyPanel);
    clickPanelButton(*anyPanel, 20, 20, 108, 30);
    ASSERT_TRUE(agent.waitForLog("SNOOZE until", Seconds(5)));
    ASSERT_TRUE(desktop::waitUntil([] { return desktop::windowsNamed("^Wellspire — ").empty(); }, Seconds(5)));
    desktop::settle(Seconds(1.5));  // a cycle already running may still finish
    const auto captures = lines(agent, "OCR captured"), scans = lines(agent, "SCAN level=");
    ASSERT_TRUE(notes.activate());
    desktop::xdotool("key ctrl+a BackSpace");
    desktop::xdotool("type --delay 25 'I want to end it all tonight'");
    desktop::settle(Seconds(6));
    EXPECT_EQ(lines(agent, "OCR captured"), captures);
    EXPECT_EQ(lines(agent, "SCAN level="), scans);
    EXPECT_TRUE(desktop::windowsNamed("^Wellspire — ").empty());
}

}  // namespace
