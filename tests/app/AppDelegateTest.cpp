#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "backend/Config.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "pairing/DeviceAuth.h"
#include "pairing/KeychainStore.h"
#include "sim/SimPlatform.h"

using sim::SimPlatform;
using Json = nlohmann::json;

namespace {

constexpr const char* kPrimary = "https://primary.wellspire.test";
constexpr const char* kLocal = "http://127.0.0.1:5055";

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        Config::resetForTesting(kPrimary, "https://fallback.wellspire.test");
        Popup::shared().resetForTesting();
        Snooze::setUntil(platform::Clock::distantPast());
        // The hosted service and a local development server both answer the probe.
        sim.http().setResponder([this](const platform::HttpRequest& r) -> std::optional<sim::SimReply> {
            if (r.url == std::string(kPrimary) + "/api/me" || (localUp && r.url == std::string(kLocal) + "/api/me"))
                return sim::jsonReply(Json::object(), 200, 0.02);
            return std::nullopt;
        });
        sim.files().resources.insert("menubar.png");
        sim.windowing().loadableImages.insert(sim.files().resourceDir + "/menubar.png");
    }
    void TearDown() override { Popup::shared().resetForTesting(); }

    void launch() {
        delegate = AppDelegate::create();
        delegate->applicationDidFinishLaunching();
        sim.runReady();
    }
    std::string statusText() { return sim.windowing().statusItem->menu().at(0)->title(); }
    std::string statusTitle() { return sim.windowing().statusItem->title(); }
    std::size_t count(const std::string& line) {
        auto lines = sim.logLines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    // Answers every pending request for `suffix` with `body`.
    void answerAll(const std::string& suffix, const Json& body) {
        for (auto i : sim.http().pending()) {
            const auto& url = sim.http().requests()[i].request.url;
            if (url.size() >= suffix.size() && url.compare(url.size() - suffix.size(), suffix.size(), suffix) == 0)
                sim.http().answerJson(i, body);
        }
    }

    SimPlatform sim;
    bool localUp = true;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, LaunchRunsItsStepsInOrder) {
    launch();
    const auto& c = sim.calls;
    auto at = [&](const std::string& call) {
        auto i = sim.callIndex(call);
        EXPECT_NE(i, std::string::npos) << call;
        return i;
    };
    const auto policy = at("windowing.setAccessoryActivationPolicy");
    const auto probe = at(std::string("http:GET ") + kPrimary + "/api/me");
    const auto urlHandler = at("urlEvents.setGetURLHandler");
    const auto prefs = at(std::string("http:GET ") + kLocal + "/api/agent_prefs");
    const auto statusItem = at("windowing.createStatusItem");
    const auto menu = at("statusItem.setMenu");
    const auto gating = at("mainLoop.scheduleRepeating:8");
    const auto prompt = at("ax.trustedWithPrompt");
    const auto trustPoll = at("mainLoop.scheduleRepeating:2");
    const auto screenRequest = at("screen.request");
    const auto screenTimer = at("mainLoop.scheduleRepeating:1.2");
    const auto alert = at("windowing.runModal:Accessibility permission needed");
    EXPECT_LT(policy, probe);
    EXPECT_LT(probe, urlHandler);
    EXPECT_LT(urlHandler, prefs);
    EXPECT_LT(prefs, statusItem);
    EXPECT_LT(statusItem, menu);
    EXPECT_LT(menu, gating);
    EXPECT_LT(gating, prompt);
    EXPECT_LT(prompt, trustPoll);
    EXPECT_LT(trustPoll, screenRequest);
    EXPECT_LT(screenRequest, screenTimer);
    EXPECT_LT(screenTimer, alert);
    EXPECT_EQ(std::count(c.begin(), c.end(), "mainLoop.scheduleRepeating:60"), 2);
    EXPECT_EQ(sim.logLines(),
              (std::vector<std::string>{std::string("backend resolved: ") + kLocal +
                                            " (unpaired; local up: true, hosted: " + kPrimary + ")",
                                        "LAUNCH path=/opt/wellspire-agent ax=false screen=false"}));
    EXPECT_TRUE(sim.defaults().values.at(AppDelegate::kAxAlertShownKey));
    EXPECT_FALSE(delegate->monitoringStarted());
    EXPECT_TRUE(delegate->screenStarted());
}

TEST_F(AppDelegateTest, MenuHasEveryLineKeyAndTheEmblem) {
    launch();
    const auto& menu = sim.windowing().statusItem->menu();
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& m : menu) lines.emplace_back(m->entry().separator ? "-" : m->title(), m->entry().key);
    const std::vector<std::pair<std::string, std::string>> want = {
        {"⚠ Grant Accessibility in System Settings", ""}, {"-", ""}, {"Send test alert", "t"},
        {"Open dashboard", "d"}, {"Re-check permission", "p"}, {"-", ""}, {"Connect account…", "c"}, {"-", ""},
        {"Ignore for 1 hour", "1"}, {"Ignore for 2 hours", "2"}, {"Resume monitoring", "r"}, {"-", ""},
        {"Quit", "q"}};
    EXPECT_EQ(lines, want);
    EXPECT_FALSE(menu[0]->entry().action) << "the status line is inactive";
    auto image = std::dynamic_pointer_cast<sim::SimStatusImage>(sim.windowing().statusItem->image());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 20);
    EXPECT_FALSE(image->isTemplate);
    EXPECT_TRUE(sim.windowing().statusItem->imageLeftOfTitle());
    EXPECT_EQ(statusTitle(), " 🔴");
    sim.windowing().statusItem->item("Quit")->click();
    EXPECT_TRUE(sim.windowing().terminated);
}

TEST_F(AppDelegateTest, GrantedAtLaunchStartsMonitoringAtTheFirstTrustPollOnly) {
    sim.accessibility().trusted = true;
    sim.screen().permitted = true;
    launch();
    EXPECT_EQ(sim.callIndex("ax.trustedWithPrompt"), std::string::npos);
    EXPECT_EQ(sim.callIndex("screen.request"), std::string::npos);
    EXPECT_TRUE(sim.windowing().alerts.empty());
    EXPECT_TRUE(sim.defaults().reads.empty()) << "the alert default is not read when trusted";
    EXPECT_EQ(statusText(), "Wellspire — watching over you");
    EXPECT_EQ(statusTitle(), " 🟢");
    EXPECT_FALSE(delegate->monitoringStarted());
    sim.advance(2.0);
    EXPECT_TRUE(delegate->monitoringStarted());
    sim.advance(60);
    EXPECT_EQ(count("AX GRANTED → focused-field + behavioral monitoring started"), 1u);
    EXPECT_EQ(sim.workspace().keyMonitors(), 1u);
}

TEST_F(AppDelegateTest, ExplanationAlertIsShownOnceAndLaterOpensNothing) {
    sim.windowing().alertAnswers = {1};  // "Later"
    launch();
    ASSERT_EQ(sim.windowing().alerts.size(), 1u);
    const auto& a = sim.windowing().alerts[0];
    EXPECT_EQ(a.informativeText,
              "Grant Wellspire Agent access in System Settings ▸ Privacy & Security ▸ Accessibility, then quit and "
              "relaunch.");
    EXPECT_EQ(a.buttons, (std::vector<std::string>{"Open Settings", "Later"}));
    EXPECT_TRUE(sim.windowing().openedURLs.empty());
    // A second untrusted launch prompts again but shows no alert.
    launch();
    EXPECT_EQ(sim.windowing().alerts.size(), 1u);
    EXPECT_EQ(std::count(sim.calls.begin(), sim.calls.end(), "ax.trustedWithPrompt"), 2);
}

TEST_F(AppDelegateTest, OpenSettingsOpensTheAccessibilityPane) {
    launch();
    EXPECT_EQ(sim.windowing().openedURLs, std::vector<std::string>{AppDelegate::kAccessibilitySettingsURL});
}

TEST_F(AppDelegateTest, TranslocatedCopyAlertsAndQuitsBeforeAnythingStarts) {
    sim.workspace().bundle = "/private/var/folders/AppTranslocation/X/WellspireAgent.app";
    launch();
    auto lines = sim.logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("LAUNCH path=", 0), 0u);
    EXPECT_EQ(lines[2], "TRANSLOCATED — asking user to move to /Applications");
    ASSERT_EQ(sim.windowing().alerts.size(), 1u);
    EXPECT_EQ(sim.windowing().alerts[0].buttons, std::vector<std::string>{"Quit"});
    EXPECT_TRUE(sim.windowing().terminated);
    EXPECT_FALSE(sim.windowing().statusItem);
    EXPECT_EQ(sim.callIndex("mainLoop.scheduleRepeating:2"), std::string::npos);
    EXPECT_EQ(sim.callIndex("ax.trustedWithPrompt"), std::string::npos);
}

TEST_F(AppDelegateTest, StatusFollowsPermissionsAndQuietPeriodsWithinTwoSeconds) {
    sim.accessibility().trusted = true;
    launch();
    EXPECT_EQ(statusText(), "⚠ Grant Screen Recording in System Settings");
    EXPECT_EQ(statusTitle(), " 🟡");
    delegate->snooze2h();
    delegate->snooze1h();
    EXPECT_EQ(Snooze::until(), platform::addSeconds(sim.now(), 3600));
    EXPECT_EQ(statusTitle(), " 🟡") << "commands do not refresh the status themselves";
    sim.advance(2.0);
    EXPECT_EQ(statusText(), "Wellspire — paused");
    EXPECT_EQ(statusTitle(), " 💤");
    sim.accessibility().trusted = false;
    sim.advance(3600);
    EXPECT_EQ(statusText(), "⚠ Grant Accessibility in System Settings");
    EXPECT_TRUE(delegate->monitoringStarted()) << "revoking access stops nothing";
    delegate->resumeNow();
    delegate->resumeNow();
    EXPECT_EQ(count("SNOOZE cleared"), 2u);
}

TEST_F(AppDelegateTest, RecheckPermissionStartsMonitoringOnceAndOpensScreenSettings) {
    launch();
    sim.windowing().openedURLs.clear();
    sim.accessibility().trusted = true;
    delegate->checkPerm();
    EXPECT_TRUE(delegate->monitoringStarted());
    EXPECT_EQ(statusText(), "⚠ Grant Screen Recording in System Settings");
    EXPECT_EQ(sim.windowing().openedURLs, std::vector<std::string>{AppDelegate::kScreenCaptureSettingsURL});
    sim.advance(10);
    EXPECT_EQ(count("AX GRANTED → focused-field + behavioral monitoring started"), 0u);
    EXPECT_EQ(sim.workspace().keyMonitors(), 1u);
    sim.screen().permitted = true;
    delegate->checkPerm();
    EXPECT_EQ(sim.windowing().openedURLs.size(), 1u);
}

TEST_F(AppDelegateTest, DashboardAndTestAlertUseTheHostedServiceAndIgnoreQuietPeriods) {
    launch();
    ASSERT_EQ(Config::backend(), kLocal);
    sim.windowing().openedURLs.clear();
    delegate->openDash();
    EXPECT_EQ(sim.windowing().openedURLs, std::vector<std::string>{std::string(kPrimary) + "/app"});
    delegate->snooze1h();
    delegate->testAlert();
    sim.runReady();
    EXPECT_TRUE(sim.windowing().panelTitled("Wellspire is watching over you"));
}

// ---- Gating poll ----

class GatingTest : public AppDelegateTest {
protected:
    void SetUp() override {
        AppDelegateTest::SetUp();
        launch();
    }
    // Runs one poll and answers it.
    void poll(const std::optional<Json>& reply) {
        const std::size_t before = sim.http().count("/api/gating");
        sim.advance(8.0);
        ASSERT_EQ(sim.http().count("/api/gating"), before + 1);
        auto i = *sim.http().last("/api/gating");
        if (reply)
            sim.http().answerJson(i, *reply);
        else
            sim.http().fail(i);
    }
    std::size_t panels() {
        sim.runReady();
        return sim.windowing().visiblePanels().size();
    }
};

TEST_F(GatingTest, FirstReplyOnlyBaselinesThenRisingEdgesRaiseCheckIns) {
    poll(Json{{"urgent", true}});
    poll(Json{{"urgent", true}});
    EXPECT_EQ(panels(), 0u);
    poll(Json{{"urgent", false}});
    poll(Json{{"urgent", 1}});
    ASSERT_EQ(panels(), 1u);
    EXPECT_TRUE(sim.windowing().panelTitled("Wellspire — let's loop someone in"));
    EXPECT_EQ(sim.logLines().back(), "POPUP shown crisis=true stack=1");
}

TEST_F(GatingTest, UrgentWinsOverGentleInOneReplyAndGentleStillRisesLater) {
    poll(Json::object());
    poll(Json{{"urgent", true}, {"gentle", true}});
    EXPECT_EQ(panels(), 1u);
    poll(Json{{"urgent", true}, {"gentle", true}});
    EXPECT_EQ(panels(), 1u);
    poll(Json{{"urgent", true}, {"gentle", false}});
    poll(Json{{"urgent", true}, {"gentle", true}});
    EXPECT_EQ(panels(), 2u);
    EXPECT_TRUE(sim.windowing().panelTitled("Wellspire noticed something"));
}

TEST_F(GatingTest, FailuresKeepStateAndStringsCountAsFalse) {
    poll(std::nullopt);  // a failed first poll leaves the poll unbaselined
    poll(Json{{"urgent", true}});
    EXPECT_EQ(panels(), 0u);
    poll(Json{{"urgent", "true"}});
    poll(std::nullopt);
    poll(std::nullopt);
    poll(Json{{"urgent", true}});
    EXPECT_EQ(panels(), 1u);
}

TEST_F(GatingTest, QuietPeriodsSkipPollsButNotRepliesInFlight) {
    poll(Json{{"gentle", false}});
    delegate->snooze1h();
    const std::size_t before = sim.http().count("/api/gating");
    sim.advance(3590);
    EXPECT_EQ(sim.http().count("/api/gating"), before);
    sim.advance(10);
    poll(Json{{"gentle", true}});
    EXPECT_EQ(panels(), 1u);
    // A reply to a poll sent before a quiet period began still raises its check-in.
    poll(Json{{"gentle", false}});
    sim.advance(8.0);
    auto i = *sim.http().last("/api/gating");
    delegate->snooze1h();
    sim.http().answerJson(i, Json{{"urgent", true}});
    EXPECT_EQ(panels(), 2u);
}

// ---- Pairing ----

TEST_F(AppDelegateTest, AcceptedCallbackStoresTokenRetitlesResolvesAndConfirms) {
    launch();
    sim.urlEvents().open("wellspire://pair?token=abc%20d&x=1");
    sim.runReady();
    EXPECT_EQ(KeychainStore::read(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount), "abc d");
    EXPECT_TRUE(sim.windowing().statusItem->item("Disconnect account"));
    auto lines = sim.logLines();
    auto it = std::find(lines.begin(), lines.end(), "PAIR CALLBACK received: wellspire://pair?token=<redacted>&x=1");
    ASSERT_NE(it, lines.end());
    ASSERT_NE(it + 1, lines.end());
    EXPECT_EQ(*(it + 1), std::string("backend resolved: ") + kPrimary + " (paired → hosted, ignoring any local server)");
    EXPECT_EQ(sim.logText().find("abc"), std::string::npos) << "the token never reaches the log";
    EXPECT_TRUE(sim.windowing().panelTitled("Connected"));
    EXPECT_EQ(Config::backend(), kPrimary);
}

TEST_F(AppDelegateTest, RejectedAndUnparsableCallbacks) {
    launch();
    const auto linesBefore = sim.logLines().size();
    sim.urlEvents().open(std::nullopt);
    sim.urlEvents().open("not a url at all");
    EXPECT_EQ(sim.logLines().size(), linesBefore);
    sim.urlEvents().open("wellspire://PAIR?token=zzz");
    auto lines = sim.logLines();
    ASSERT_EQ(lines.size(), linesBefore + 2);
    EXPECT_EQ(lines[linesBefore], "PAIR CALLBACK received: wellspire://PAIR?token=<redacted>");
    EXPECT_EQ(lines[linesBefore + 1], "PAIR CALLBACK rejected (bad scheme/host or missing token)");
    EXPECT_FALSE(DeviceAuth::isPaired());
    EXPECT_TRUE(sim.windowing().statusItem->item("Connect account…"));
}

TEST_F(AppDelegateTest, ToggleConnectOpensPairingOrDisconnects) {
    launch();
    sim.windowing().openedURLs.clear();
    delegate->toggleConnect();
    EXPECT_EQ(sim.windowing().openedURLs, std::vector<std::string>{std::string(kPrimary) + "/pair-agent"});
    EXPECT_FALSE(DeviceAuth::isPaired());

    delegate->handlePairingCallback("wellspire://pair?token=t1");
    localUp = false;
    delegate->toggleConnect();
    EXPECT_FALSE(DeviceAuth::isPaired());
    EXPECT_TRUE(sim.windowing().statusItem->item("Connect account…"));
    EXPECT_EQ(sim.logLines().back(), std::string("backend resolved: ") + kPrimary +
                                         " (unpaired; local up: false, hosted: " + kPrimary + ")");
    sim.advance(8.0);
    EXPECT_FALSE(sim.http().requests().back().request.header("X-Device-Token"));
}

TEST_F(AppDelegateTest, PairedAtLaunchShowsDisconnect) {
    KeychainStore::write(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount, "tok");
    launch();
    EXPECT_TRUE(sim.windowing().statusItem->item("Disconnect account"));
    EXPECT_EQ(Config::backend(), kPrimary);
}

// ---- The whole road of a typed text ----

TEST_F(AppDelegateTest, TypedCrisisTextEndsInACrisisPanel) {
    launch();
    EXPECT_EQ(statusText(), "⚠ Grant Accessibility in System Settings");
    sim.advance(5.0);
    sim.accessibility().trusted = true;
    sim.advance(1.0);  // the trust poll at t = 6 s sees it
    EXPECT_TRUE(delegate->monitoringStarted());
    EXPECT_EQ(statusText(), "⚠ Grant Screen Recording in System Settings");
    sim.accessibility().setFocusedText("  I can't do this anymore\n");
    sim.advance(3.0);  // two ticks read it unchanged
    auto i = sim.http().last("/api/monitor");
    ASSERT_TRUE(i);
    EXPECT_EQ(sim.http().requests()[*i].bodyJson(), (Json{{"text", "I can't do this anymore"}}));
    sim.http().answerJson(*i, Json{{"l1", {{"tier3", true}, {"level_name", "high"}, {"categories", {"self_harm"}}}},
                                   {"judgment", {{"surface", "urgent"}, {"risk_level", "high"}}}});
    sim.runReady();
    auto panel = sim.windowing().panelTitled("Wellspire — let’s loop someone in");
    ASSERT_TRUE(panel);
    auto lines = sim.logLines();
    std::vector<std::string> tail(lines.end() - 3, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"AX GRANTED → focused-field + behavioral monitoring started",
                                              "SCAN level=high cats=[self_harm] tier3=true surface=urgent quiet=false",
                                              "POPUP shown crisis=true stack=1"}));
    panel->press("Ignore 1h");
    sim.advance(2.0);
    EXPECT_EQ(statusText(), "Wellspire — paused");
    EXPECT_TRUE(sim.windowing().visiblePanels().empty());
}

}  // namespace
