#include <gtest/gtest.h>

#include "backend/Config.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "sim/SimPlatform.h"

using sim::SimPlatform;

namespace {

// Title 18 pt high, message 32 pt: every panel is 18 + 32 + 136 = 186 high.
class PopupTest : public ::testing::Test {
protected:
    void SetUp() override {
        Popup::shared().resetForTesting();
        Snooze::setUntil(platform::Clock::distantPast());
        Config::resetForTesting("https://primary.test", "https://fallback.test");
        sim.windowing().screen = platform::Rect{0, 0, 1440, 900};
        sim.windowing().textMeasure = [](const std::string&, platform::Font f, double width) {
            EXPECT_EQ(width, 340);
            return f.bold ? 18.0 : 32.0;
        };
    }
    void TearDown() override { Popup::shared().resetForTesting(); }
    std::shared_ptr<sim::SimPanel> show(const std::string& title, bool crisis = false) {
        Popup::shared().show(title, "message", crisis);
        sim.runReady();
        return sim.windowing().panels.back();
    }
    static platform::Point origin(const std::shared_ptr<sim::SimPanel>& p) { return {p->frame().x, p->frame().y}; }
    SimPlatform sim;
};

constexpr double kX = 1440 - 380 - 22;  // 1038
constexpr double kH = 186;

TEST_F(PopupTest, ShowIsAlwaysQueuedAndHandledInCallOrder) {
    Popup::shared().show("A", "1", false);
    Popup::shared().show("B", "2", true);
    EXPECT_TRUE(sim.windowing().panels.empty()) << "even on the main thread the panel appears later";
    sim.runReady();
    ASSERT_EQ(sim.windowing().panels.size(), 2u);
    EXPECT_EQ(sim.windowing().panels[0]->identifier(), "A1");
    EXPECT_EQ(sim.windowing().panels[1]->identifier(), "B2");
    EXPECT_EQ(sim.logLines(), (std::vector<std::string>{"POPUP shown crisis=false stack=1", "POPUP shown crisis=true stack=2"}));
    EXPECT_EQ(sim.windowing().sounds, (std::vector<std::string>{"Glass", "Glass"}));
}

TEST_F(PopupTest, StackPlacementOnA1440By900Screen) {
    auto a = show("A");
    auto b = show("B");
    auto c = show("C");
    EXPECT_EQ(origin(a), (platform::Point{kX, 900 - 22 - kH}));          // 692
    EXPECT_EQ(origin(b), (platform::Point{kX, 900 - 22 - 2 * kH - 10}));  // 496
    EXPECT_EQ(origin(c), (platform::Point{kX, 900 - 22 - 3 * kH - 20}));  // 300
    EXPECT_EQ(a->frame().width, 380);
    EXPECT_EQ(a->frame().height, kH);
    // Dismissing the middle one moves the lower one up, 10 pt below the upper.
    b->press("Dismiss");
    EXPECT_TRUE(b->closed());
    EXPECT_EQ(origin(a), (platform::Point{kX, 692}));
    EXPECT_EQ(origin(c), (platform::Point{kX, 692 - 10 - kH}));
}

TEST_F(PopupTest, DuplicatesAreRefusedUntilClosed) {
    auto a = show("ab");
    Popup::shared().show("a", "bmessage", false);  // the same identifier, "abmessage"
    sim.runReady();
    EXPECT_EQ(sim.windowing().panels.size(), 1u);
    EXPECT_EQ(sim.logLines().size(), 1u);
    EXPECT_EQ(sim.windowing().sounds.size(), 1u);
    show("ab2");
    EXPECT_EQ(sim.windowing().panels.size(), 2u) << "a different message is a different check-in";
    a->press("Dismiss");
    show("ab");
    EXPECT_EQ(sim.windowing().visiblePanels().size(), 2u);
}

TEST_F(PopupTest, SixthCheckInEvictsTheOldestAndTheRestMoveUp) {
    sim.windowing().screen = platform::Rect{0, 0, 1440, 2000};
    std::vector<std::shared_ptr<sim::SimPanel>> p;
    for (char c : std::string("ABCDEF")) p.push_back(show(std::string(1, c)));
    EXPECT_TRUE(p[0]->closed());
    for (int i = 1; i < 6; ++i) {
        EXPECT_TRUE(p[i]->isVisible());
        EXPECT_EQ(p[i]->frame().y, 2000 - 22 - kH - (i - 1) * (kH + 10)) << i;
    }
    EXPECT_EQ(sim.logLines().back(), "POPUP shown crisis=false stack=5");
}

TEST_F(PopupTest, ShortScreenDropsTheOldestOnceThenPlacesBelowTheMargin) {
    sim.windowing().screen = platform::Rect{0, 40, 1440, 500};  // top 540, bottom margin at 62
    auto a = show("A");  // 540 - 22 - 186 = 332
    auto b = show("B");  // 136
    EXPECT_EQ(b->frame().y, 136);
    auto c = show("C");  // would be -60: drop A, B moves to the top, C goes below it
    EXPECT_TRUE(a->closed());
    EXPECT_EQ(b->frame().y, 332);
    EXPECT_EQ(c->frame().y, 136);
    sim.windowing().screen = platform::Rect{0, 0, 1440, 300};  // even one panel does not fit twice
    auto d = show("D");
    EXPECT_TRUE(b->closed());
    EXPECT_TRUE(c->isVisible());
    EXPECT_EQ(d->frame().y, 300 - 22 - kH - kH - 10) << "placed below the margin all the same";
    EXPECT_EQ(sim.logLines().back(), "POPUP shown crisis=false stack=2");
}

TEST_F(PopupTest, IgnoreClosesEveryCheckInAndStartsAQuietPeriod) {
    auto a = show("A");
    auto b = show("B");
    b->press("Ignore 1h");
    EXPECT_TRUE(a->closed());
    EXPECT_TRUE(b->closed());
    EXPECT_EQ(Snooze::until(), platform::addSeconds(sim.now(), 3600));
    EXPECT_EQ(sim.logLines().back(), "SNOOZE until 2026-12-07T13:00:00Z");
    EXPECT_EQ(sim.logLines().size(), 3u);
    show("C")->press("Ignore 2h");
    EXPECT_EQ(sim.logLines().back(), "SNOOZE until 2026-12-07T14:00:00Z");
    show("D");
    EXPECT_EQ(sim.windowing().visiblePanels().size(), 1u) << "a check-in during a quiet period is shown";
}

TEST_F(PopupTest, PrimaryButtonOpensTheHostedChatAndClosesEvenWhenNoBrowserOpens) {
    Config::setBackend("http://127.0.0.1:5055");
    sim.windowing().openURLSucceeds = false;
    auto a = show("A", true);
    a->press("Get support");
    EXPECT_EQ(sim.windowing().openedURLs, std::vector<std::string>{"https://primary.test/chat"});
    EXPECT_TRUE(a->closed());
    Config::setHostedBackend("bad url");
    auto b = show("B");
    b->press("Talk it through");
    EXPECT_EQ(sim.windowing().openedURLs.size(), 1u);
    EXPECT_TRUE(b->closed());
}

TEST_F(PopupTest, CrisisAndGentleDifferOnlyInTitleColourGlowAndPrimaryTitle) {
    const auto crisis = show("Same", true)->layout();
    Popup::shared().resetForTesting();
    const auto gentle = show("Same", false)->layout();
    EXPECT_EQ(crisis.height, kH);
    EXPECT_EQ(crisis.labels[1].color, (platform::Color{1.0, 0.843, 0.6, 1}));
    EXPECT_EQ(gentle.labels[1].color, (platform::Color{0.82, 0.84, 0.87, 1}));
    EXPECT_EQ(crisis.glow.from, (platform::Color{0.79, 0.66, 0.42, 0.16}));
    EXPECT_EQ(gentle.glow.from, (platform::Color{0.56, 0.6, 0.65, 0.12}));
    EXPECT_EQ(crisis.buttons[3].title, "Get support");
    EXPECT_EQ(gentle.buttons[3].title, "Talk it through");
    // Everything else is the same: frames bottom up, the title above the message.
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(crisis.buttons[i].frame, gentle.buttons[i].frame);
    EXPECT_EQ(crisis.buttons[3].frame, (platform::Rect{20, 58, 340, 30}));
    EXPECT_TRUE(crisis.buttons[3].isDefault && crisis.buttons[3].whiteBackground);
    EXPECT_EQ(crisis.labels[0].frame, (platform::Rect{20, 104, 340, 32}));
    EXPECT_EQ(crisis.labels[1].frame, (platform::Rect{20, 148, 340, 18}));
    EXPECT_EQ(crisis.labels[1].font, (platform::Font{15, true}));
    EXPECT_EQ(crisis.background, gentle.background);
    EXPECT_EQ(crisis.glow.to, gentle.glow.to);
}

TEST_F(PopupTest, WithoutAScreenThePanelStaysAtTheOrigin) {
    sim.windowing().screen.reset();
    auto a = show("A");
    EXPECT_EQ(origin(a), (platform::Point{0, 0}));
    EXPECT_TRUE(a->isVisible());
}

TEST_F(PopupTest, PanelsHiddenByOtherMeansAreForgotten) {
    auto a = show("A");
    auto b = show("B");
    a->hide();
    auto c = show("C");
    EXPECT_EQ(b->frame().y, 900 - 22 - kH) << "restacked after forgetting the hidden one";
    EXPECT_EQ(c->frame().y, 900 - 22 - 2 * kH - 10);
    EXPECT_EQ(sim.logLines().back(), "POPUP shown crisis=false stack=2");
}

TEST(Snooze, StrictEndReplacementAndUtcLine) {
    SimPlatform sim(SimPlatform::at(2026, 3, 1, 14, 5, 9));
    sim.clock().utcOffsetSeconds = -5 * 3600;
    Snooze::setUntil(platform::Clock::distantPast());
    EXPECT_FALSE(Snooze::isSnoozed(sim.now()));
    Snooze::set(2);
    Snooze::set(1);
    EXPECT_EQ(sim.logLines().back(), "SNOOZE until 2026-03-01T15:05:09Z");
    sim.advance(3599.999);
    EXPECT_TRUE(Snooze::isSnoozed(sim.now()));
    sim.setWallClock(Snooze::until());
    EXPECT_FALSE(Snooze::isSnoozed(sim.now()));
    Snooze::setUntil(platform::Clock::distantPast());
}

}  // namespace
