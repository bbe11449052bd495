// The real agent as a user meets it: launch, the status menu, pairing through the URL handler.
#include <sstream>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "pairing/DeviceAuth.h"

namespace {

using desktop::Agent;
using desktop::Seconds;
using desktop::TestBackend;

std::string storedToken() {
    return desktop::sh(std::string("secret-tool lookup service ") + DeviceAuth::kTokenService + " account " +
                       DeviceAuth::kTokenAccount + " 2>/dev/null");
}

void forgetToken() {
    desktop::sh(std::string("secret-tool clear service ") + DeviceAuth::kTokenService + " account " +
                DeviceAuth::kTokenAccount + " 2>/dev/null");
}

bool hasLine(const Agent& agent, const std::string& fragment) {
    for (const auto& line : agent.log())
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

class AgentShellTest : public ::testing::Test {
protected:
    void SetUp() override { forgetToken(); }
    void TearDown() override { forgetToken(); }
    TestBackend backend;
};

TEST_F(AgentShellTest, StartsLogsItsLaunchAndAnotherLaunchOnlyExits) {
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("backend from config file: " + backend.base(), Seconds(20)));
    EXPECT_TRUE(hasLine(agent, "LAUNCH path=" + desktop::buildDir() + " ax="));
    // Which backend serves each facility of this session, panels included.
    EXPECT_TRUE(hasLine(agent, "SESSION session=x11") && hasLine(agent, " panels=ewmh"));
    // App usage asks for its preference at launch; the gating poll comes 8 s later.
    EXPECT_TRUE(backend.waitFor("/api/agent_prefs", 1, Seconds(5)));
    EXPECT_TRUE(backend.waitFor("/api/gating", 1, Seconds(12)));

    // The running agent keeps logging its captures; the second launch adds nothing of its own.
    auto launchLines = [&] {
        std::size_t n = 0;
        for (const auto& line : agent.log())
            n += line.rfind("LAUNCH", 0) == 0 || line.rfind("backend", 0) == 0 ? 1 : 0;
        return n;
    };
    const auto before = launchLines();
    EXPECT_EQ(agent.launchAgain({}), 0);
    desktop::settle(Seconds(0.5));
    EXPECT_EQ(launchLines(), before);
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentShellTest, PairingUrlStoresTheTokenAndShowsConnected) {
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("backend from config file:", Seconds(20)));
    EXPECT_EQ(agent.launchAgain({"wellspire://pair?token=abc%20d"}), 0);
    ASSERT_TRUE(desktop::waitForWindow("^Connected", Seconds(10)));
    EXPECT_EQ(storedToken(), "abc d");
    EXPECT_TRUE(hasLine(agent, "PAIR CALLBACK received:"));
    for (const auto& line : agent.log()) EXPECT_EQ(line.find("abc"), std::string::npos) << line;

    // The token now goes with every request.
    const auto seen = backend.count("/api/gating");
    ASSERT_TRUE(backend.waitFor("/api/gating", seen + 1, Seconds(12)));
    EXPECT_EQ(backend.requests("/api/gating").back().headers["X-Device-Token"], "abc d");
}

TEST_F(AgentShellTest, AUrlAtFirstLaunchReachesTheNewAgent) {
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start({"wellspire://pair?token=first"}));
    ASSERT_TRUE(desktop::waitForWindow("^Connected", Seconds(20)));
    EXPECT_EQ(storedToken(), "first");
}

TEST_F(AgentShellTest, SendTestAlertFromTheStatusMenuShowsTheSamplePanel) {
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("backend from config file:", Seconds(20)));
    ASSERT_TRUE(desktop::openStatusMenu()) << "no status icon in the tray";
    desktop::settle(Seconds(0.5));
    // The first line is the inactive status line: Down lands on "Send test alert".
    desktop::sh("xdotool key Down Return");
    auto panel = desktop::waitForWindow("^Wellspire is watching over you", Seconds(10));
    ASSERT_TRUE(panel);
    EXPECT_TRUE(agent.waitForLog("POPUP shown crisis=false stack=1", Seconds(3)));
}

TEST_F(AgentShellTest, WithoutATrayHostTheAgentStillRuns) {
    desktop::sh("pkill -x trayer");
    Agent agent(backend.base());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog("backend from config file:", Seconds(20)));
    EXPECT_TRUE(backend.waitFor("/api/gating", 1, Seconds(12)));
    EXPECT_TRUE(agent.running());
    // The cases after this one expect the tray host back.
    desktop::ensureTrayHost();
}

}  // namespace
