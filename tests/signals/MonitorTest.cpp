#include "signals/Monitor.h"

#include "SignalsFixture.h"
#include "backend/Log.h"
#include "backend/Text.h"
#include "signals/AXReader.h"

namespace {

using Json = nlohmann::json;

class MonitorTest : public SignalsFixture {
protected:
    void SetUp() override {
        SignalsFixture::SetUp();
        monitor = Monitor::create();
        monitor->start();
        sim.accessibility().trusted = true;
    }
    void type(const std::string& text) { sim.accessibility().setFocusedText(text); }
    std::shared_ptr<Monitor> monitor;
};

const Json kUrgent = {{"l1", {{"tier3", false}, {"level_name", "high"}, {"categories", {"a", "b"}}}},
                      {"judgment", {{"surface", "urgent"}}}};
const Json kGentle = {{"judgment", {{"surface", "gentle"}}}};

TEST(AXReaderTest, ValueFirstThenSelectedTextWhenValueIsBlankOrNotAString) {
    sim::SimPlatform sim;
    EXPECT_FALSE(AXReader::focusedText());  // no focused element

    auto element = std::make_shared<sim::SimElement>();
    sim.accessibility().focused = element;
    element->attributes["AXValue"] = platform::AXValue{true, "  hello there \n"};
    element->attributes["AXSelectedText"] = platform::AXValue{true, "selected"};
    EXPECT_EQ(AXReader::focusedText(), "  hello there \n");  // untrimmed

    element->attributes["AXValue"] = platform::AXValue{true, " \t\n"};
    EXPECT_EQ(AXReader::focusedText(), "selected");
    element->attributes["AXValue"] = platform::AXValue{false, ""};  // a number
    EXPECT_EQ(AXReader::focusedText(), "selected");
    element->attributes["AXSelectedText"] = std::nullopt;
    EXPECT_FALSE(AXReader::focusedText());
}

TEST_F(MonitorTest, SettledTextIsSentOnceOnTheSecondUnchangedTick) {
    type("I feel so tired today");
    sim.advance(1.5);  // first tick: a candidate
    EXPECT_EQ(posts("/api/monitor"), 0u);
    EXPECT_EQ(monitor->pendingText(), "I feel so tired today");
    sim.advance(1.5);  // second tick: settled
    ASSERT_EQ(posts("/api/monitor"), 1u);
    EXPECT_EQ(lastBody("/api/monitor"), (Json{{"text", "I feel so tired today"}}));
    sim.advance(15);
    EXPECT_EQ(posts("/api/monitor"), 1u);
    EXPECT_TRUE(sim.logLines().empty());  // the tick itself logs nothing
}

TEST_F(MonitorTest, ChangingTextIsNeverSentAndShortTextClearsTheCandidate) {
    for (int i = 0; i < 10; ++i) {
        type("typing more and more " + std::string(i, 'x'));
        sim.advance(1.5);
    }
    EXPECT_EQ(posts("/api/monitor"), 0u);
    type("1234567");  // 7 characters
    sim.advance(1.5);
    EXPECT_EQ(monitor->pendingText(), "");
    sim.advance(6);
    EXPECT_EQ(posts("/api/monitor"), 0u);
    // Eight characters counted as graphemes: a family emoji is one character, not eleven bytes.
    type("\U0001F468\u200D\U0001F469\u200D\U0001F467abcdef");  // 7 characters
    sim.advance(3);
    EXPECT_EQ(posts("/api/monitor"), 0u);
    type("\U0001F468\u200D\U0001F469\u200D\U0001F467abcdefg");  // 8 characters
    sim.advance(3);
    EXPECT_EQ(posts("/api/monitor"), 1u);
}

TEST_F(MonitorTest, WhitespaceDoesNotMakeANewTextAndSentTextIsNotResent) {
    type("hello world again");
    sim.advance(1.5);
    type("   hello world again\n");
    sim.advance(1.5);
    ASSERT_EQ(posts("/api/monitor"), 1u);
    EXPECT_EQ(lastBody("/api/monitor")["text"], "hello world again");
    type("");
    sim.advance(3);
    type("short");
    sim.advance(3);
    type("hello world again");
    sim.advance(6);
    EXPECT_EQ(posts("/api/monitor"), 1u);  // still equals the last one sent
    type("something different");
    sim.advance(3);
    type("hello world again");
    sim.advance(3);
    EXPECT_EQ(posts("/api/monitor"), 3u);
}

TEST_F(MonitorTest, QuietPeriodReadsNothingAndKeepsTheCandidate) {
    type("a text typed before quiet");
    sim.advance(1.5);
    Snooze::setUntil(platform::addSeconds(sim.now(), 10));
    const int readsBefore = sim.accessibility().reads;
    sim.advance(9);
    EXPECT_EQ(sim.accessibility().reads, readsBefore);
    EXPECT_EQ(posts("/api/monitor"), 0u);
    EXPECT_EQ(monitor->pendingText(), "a text typed before quiet");
    sim.advance(1.5);  // first tick after the quiet period
    EXPECT_EQ(posts("/api/monitor"), 1u);
}

TEST_F(MonitorTest, JudgmentLinesAndCheckIns) {
    monitor->handleJudgment(Json::object());
    EXPECT_EQ(sim.logLines().at(0), "SCAN level=? cats=[] tier3=false surface=none quiet=false");
    EXPECT_EQ(sim.logLines().at(1), "  -> no popup (nothing detected)");

    monitor->handleJudgment(kUrgent);
    sim.runReady();
    EXPECT_EQ(count("SCAN level=high cats=[a,b] tier3=false surface=urgent quiet=false"), 1u);
    EXPECT_EQ(sim.windowing().visiblePanels().size(), 1u);
    EXPECT_EQ(Popup::shared().count(), 1u);
    EXPECT_EQ(lastLine(), "POPUP shown crisis=true stack=1");

    // A gentle judgment right after a crisis is debounced.
    sim.advance(2);
    monitor->handleJudgment(kGentle);
    EXPECT_EQ(count("SCAN level=? cats=[] tier3=false surface=gentle quiet=true"), 1u);
    EXPECT_EQ(lastLine(), "  -> suppressed (debounce, 4s)");
    // tier3 alone is a crisis even with a gentle surface, but the cooldown holds for 30 s.
    monitor->handleJudgment(Json{{"l1", {{"tier3", 1}, {"categories", {"x", 3}}}}, {"judgment", {{"surface", "gentle"}}}});
    EXPECT_EQ(count("SCAN level=? cats=[] tier3=true surface=gentle quiet=true"), 1u);
    EXPECT_EQ(lastLine(), "  -> suppressed (crisis cooldown)");
    Popup::shared().closeAll();  // a panel still showing would make the next one a duplicate
    sim.advance(28.5);           // 30.5 s after the crisis
    monitor->handleJudgment(kUrgent);
    sim.runReady();
    EXPECT_EQ(lastLine(), "POPUP shown crisis=true stack=1");
    sim.advance(5);
    monitor->handleJudgment(kGentle);
    sim.runReady();
    EXPECT_EQ(lastLine(), "POPUP shown crisis=false stack=2");
}

TEST_F(MonitorTest, OverlongReplyValuesAreCutShortInTheLog) {
    // The "é" straddles the cut, which must not split it.
    const std::string name = std::string(kMaxLogValueBytes - 1, 'n') + "\xC3\xA9" + std::string(5000, 'n');
    Json categories = Json::array();
    for (int i = 0; i < 1000; ++i) categories.push_back("category");
    monitor->handleJudgment(Json{{"l1", {{"level_name", name}, {"categories", categories}}},
                                 {"judgment", {{"surface", std::string(100000, 's')}}}});
    const std::string line = sim.logLines().at(0);
    EXPECT_EQ(line.rfind("SCAN level=" + std::string(kMaxLogValueBytes - 1, 'n') + "\u2026 cats=[category,", 0), 0u);
    EXPECT_LT(line.size(), 3 * kMaxLogValueBytes + 100);
    EXPECT_TRUE(Text::isValidUtf8(line));
    EXPECT_EQ(sim.logLines().at(1), "  -> no popup (nothing detected)");
}

TEST_F(MonitorTest, CrisisTextsUseTypographicApostrophes) {
    monitor->handleJudgment(kUrgent);
    sim.runReady();
    auto panels = sim.windowing().visiblePanels();
    ASSERT_EQ(panels.size(), 1u);
    const auto& labels = panels[0]->layout().labels;
    auto has = [&](const std::string& text) {
        return std::any_of(labels.begin(), labels.end(), [&](const auto& l) { return l.text == text; });
    };
    EXPECT_TRUE(has("Wellspire \u2014 let\u2019s loop someone in"));
    EXPECT_TRUE(has("Something you just wrote suggests you\u2019re in real pain. You don\u2019t have to carry it alone. "
                    "If it\u2019s urgent, call or text 988."));
}

TEST_F(MonitorTest, ADeeplyNestedJudgmentIsDroppedWithoutHarm) {
    // Copying the judgment object used to recurse once per level and overflow the stack.
    type("a text judged by a broken backend");
    sim.advance(3);
    platform::HttpResponse r;
    r.status = 200;
    r.body = R"({"judgment":{"surface":"urgent","x":)" + std::string(300000, '[') + std::string(300000, ']') + "}}";
    sim.http().answer(*sim.http().last("/api/monitor"), r);
    sim.runReady();
    EXPECT_EQ(Popup::shared().count(), 0u);
    EXPECT_TRUE(sim.logLines().empty());
}

TEST_F(MonitorTest, NoReplyLogsNothingAndAGoneMonitorIgnoresItsReply) {
    type("the backend is down now");
    sim.advance(3);
    ASSERT_EQ(posts("/api/monitor"), 1u);
    sim.http().fail(*sim.http().last("/api/monitor"));
    sim.runReady();
    EXPECT_TRUE(sim.logLines().empty());

    type("another text for a gone monitor");
    sim.advance(3);
    ASSERT_EQ(posts("/api/monitor"), 2u);
    monitor.reset();
    answerLast("/api/monitor", kUrgent);
    sim.advance(3);
    EXPECT_TRUE(sim.logLines().empty());
    EXPECT_EQ(posts("/api/monitor"), 2u);
}

TEST_F(MonitorTest, AJudgmentDuringAQuietPeriodIsStillActedOn) {
    type("sent just before the quiet");
    sim.advance(3);
    Snooze::set(1);
    answerLast("/api/monitor", kUrgent);
    EXPECT_EQ(Popup::shared().count(), 1u);
}

}  // namespace
