#include "signals/ScreenReader.h"

#include "SignalsFixture.h"

namespace {

using Json = nlohmann::json;
using platform::Rect;
using platform::ShareableContent;
using platform::ShareableWindow;

TEST(ScreenReaderSizeTest, WholeFactorsOnlyTwiceUpTo3840Pixels) {
    using P = std::pair<int, int>;
    EXPECT_EQ(ScreenReader::pixelSize(1000, 800), P(2000, 1600));
    EXPECT_EQ(ScreenReader::pixelSize(1600, 1000), P(3200, 2000));
    EXPECT_EQ(ScreenReader::pixelSize(1920, 1053), P(3840, 2106));
    EXPECT_EQ(ScreenReader::pixelSize(1366, 705), P(2732, 1410));
    EXPECT_EQ(ScreenReader::pixelSize(1921, 1000), P(1921, 1000));
    EXPECT_EQ(ScreenReader::pixelSize(2560, 1440), P(2560, 1440));
    EXPECT_EQ(ScreenReader::pixelSize(5120, 1440), P(2560, 720));
    EXPECT_EQ(ScreenReader::pixelSize(3000, 0.2), P(3000, 1));  // at least one pixel
    EXPECT_EQ(ScreenReader::pixelSize(300, 201), P(600, 402));
}

TEST(ScreenReaderTargetTest, FrontmostWindowOverDisplayAndOwnWindowsExcluded) {
    ShareableContent content;
    content.windows = {
        {1, 77, true, Rect{0, 0, 1000, 800}},   // another application
        {2, 4242, true, Rect{0, 0, 380, 200}},  // a check-in panel of ours
        {3, 50, true, Rect{0, 0, 300, 200}},    // frontmost, too low
        {4, 50, false, Rect{0, 0, 900, 900}},   // frontmost, off screen
        {5, 50, true, Rect{0, 0, 1600, 1000}},  // frontmost, usable
        {6, std::nullopt, true, Rect{0, 0, 800, 800}},
    };
    content.displays = {{9, 2560, 1440}, {10, 1200, 800}};
    platform::RunningApplication front{"org.example.editor", 50, "Editor"};

    auto target = ScreenReader::chooseTarget(content, front, 4242);
    ASSERT_TRUE(target);
    EXPECT_TRUE(target->isWindow);
    EXPECT_EQ(target->window.id, 5u);
    EXPECT_EQ(target->pixelWidth, 3200);
    EXPECT_EQ(target->pixelHeight, 2000);

    content.windows.erase(content.windows.begin() + 4);
    target = ScreenReader::chooseTarget(content, front, 4242);
    ASSERT_TRUE(target);
    EXPECT_FALSE(target->isWindow);
    EXPECT_EQ(target->display.id, 9u);
    EXPECT_EQ(target->pixelWidth, 2560);
    EXPECT_EQ(target->pixelHeight, 1440);
    ASSERT_EQ(target->excluded.size(), 1u);
    EXPECT_EQ(target->excluded[0].id, 2u);

    // Another application's window is never captured alone.
    target = ScreenReader::chooseTarget(content, std::nullopt, 4242);
    ASSERT_TRUE(target);
    EXPECT_FALSE(target->isWindow);

    content.displays.clear();
    EXPECT_FALSE(ScreenReader::chooseTarget(content, std::nullopt, 4242));
}

class ScreenReaderTest : public SignalsFixture {
protected:
    void SetUp() override {
        SignalsFixture::SetUp();
        reader = ScreenReader::create();
        sim.screen().permitted = true;
        sim.workspace().frontmost = platform::RunningApplication{"org.example.editor", 50, "Editor"};
        sim.screen().content = ShareableContent{{{5, 50, true, Rect{0, 0, 1000, 800}}}, {{1, 1440, 900}}};
    }
    void recognise(const std::vector<std::optional<std::string>>& lines) { sim.recognizer().lines = lines; }
    std::shared_ptr<ScreenReader> reader;
};

TEST_F(ScreenReaderTest, CycleCapturesTheFrontWindowAndHandsOnJoinedLines) {
    reader->start();
    recognise({"one", std::nullopt, "two", "three four"});
    sim.advance(1.2);
    ASSERT_EQ(sim.screen().calls.size(), 1u);
    EXPECT_TRUE(sim.screen().calls[0].window);
    EXPECT_EQ(sim.logLines().at(0), "OCR captured 2000x1600");
    EXPECT_EQ(sim.recognizer().lastSize, std::make_pair(2000, 1600));
    ASSERT_EQ(posts("/api/scan"), 1u);
    EXPECT_EQ(lastBody("/api/scan"), (Json{{"text", "one two three four"}}));
    EXPECT_FALSE(reader->isBusy());

    sim.advance(1.2);  // same screen: captured again, not scanned again
    EXPECT_EQ(sim.screen().calls.size(), 2u);
    EXPECT_EQ(posts("/api/scan"), 1u);
}

TEST_F(ScreenReaderTest, EarlyExitsLogNothing) {
    reader->start();
    sim.screen().permitted = false;
    sim.advance(3.6);
    sim.screen().permitted = true;
    sim.workspace().frontmost = platform::RunningApplication{"com.wellspire.agent", 4242, "Wellspire"};
    sim.advance(3.6);
    sim.workspace().frontmost = platform::RunningApplication{"org.example.editor", 50, "Editor"};
    Snooze::setUntil(platform::addSeconds(sim.now(), 5));
    sim.advance(4.8);
    EXPECT_EQ(sim.screen().contentRequests, 0);
    EXPECT_TRUE(sim.logLines().empty());
    sim.advance(1.2);  // the quiet period is over
    EXPECT_EQ(sim.screen().contentRequests, 1);
    // No frontmost application and no display: the cycle ends silently and is not busy.
    sim.workspace().frontmost.reset();
    sim.screen().content = ShareableContent{};
    sim.advance(1.2);
    EXPECT_EQ(sim.screen().contentRequests, 2);
    EXPECT_FALSE(reader->isBusy());
    EXPECT_EQ(sim.logLines().size(), 1u);
}

TEST_F(ScreenReaderTest, FailuresLogOneLineEachAndTheNextFiringTriesAgain) {
    reader->start();
    sim.screen().captureError = "The user declined TCCs for application, window, display capture";
    sim.advance(1.2);
    EXPECT_EQ(sim.logLines(), std::vector<std::string>{"OCR capture FAILED (likely Screen Recording not granted): "
                                                       "The user declined TCCs for application, window, display capture"});
    EXPECT_FALSE(reader->isBusy());
    sim.screen().captureError.reset();
    sim.screen().content = platform::CaptureError{"listing failed"};
    sim.advance(1.2);
    EXPECT_EQ(lastLine(), "OCR capture FAILED (likely Screen Recording not granted): listing failed");
    EXPECT_FALSE(reader->isBusy());
    // Recognition failing hands nothing on.
    sim.screen().content = ShareableContent{{}, {{1, 1440, 900}}};
    sim.recognizer().lines.reset();
    sim.advance(1.2);
    EXPECT_EQ(lastLine(), "OCR captured 2880x1800");
    EXPECT_EQ(posts("/api/scan"), 0u);
}

TEST_F(ScreenReaderTest, ASlowCycleSkipsTheFiringsDuringIt) {
    reader->start();
    sim.screen().deferCaptures = true;
    sim.advance(1.2);
    EXPECT_TRUE(reader->isBusy());
    sim.advance(2.4);  // two firings while busy
    EXPECT_EQ(sim.screen().calls.size(), 1u);
    sim.screen().completeDeferred();
    EXPECT_FALSE(reader->isBusy());
    sim.advance(1.2);
    EXPECT_EQ(sim.screen().calls.size(), 2u);
}

TEST_F(ScreenReaderTest, AStalledWorkerIsHandedOneCycleAtATime) {
    reader->start();
    sim.autoRunWorkers = false;
    sim.advance(12);  // ten firings while the worker runs nothing
    EXPECT_EQ(sim.worker().queued(), 1u);
    sim.runWorkers();
    EXPECT_EQ(sim.screen().calls.size(), 1u);
    sim.advance(1.2);  // the next firing, once the last cycle has started
    EXPECT_EQ(sim.worker().queued(), 1u);
}

TEST_F(ScreenReaderTest, AWithdrawalMidCycleSendsNeitherTheScanNorItsConfirmation) {
    reader->start();
    recognise({"a heavy line of screen text"});
    // Withdrawn while a slow capture is on its way: its text is recognised but never sent.
    sim.screen().deferCaptures = true;
    sim.advance(1.2);
    sim.screen().permitted = false;
    sim.screen().completeDeferred();
    EXPECT_EQ(posts("/api/scan"), 0u);

    // Withdrawn while the scan's reply is on its way: no confirmation follows it.
    sim.screen().permitted = true;
    sim.screen().deferCaptures = false;
    sim.advance(1.2);
    ASSERT_EQ(posts("/api/scan"), 1u);
    sim.screen().permitted = false;
    answerLast("/api/scan", Json{{"level", 1}, {"hits", {{{"tier", "1"}, {"phrase", "heavy"}}}}});
    EXPECT_EQ(posts("/api/monitor"), 0u);
    // Agreed again, the next reply is confirmed as before.
    sim.screen().permitted = true;
    reader->handleScanReply(Json{{"level", 1}, {"hits", {{{"tier", "1"}, {"phrase", "heavy"}}}}}, "other text");
    EXPECT_EQ(posts("/api/monitor"), 1u);
}

TEST_F(ScreenReaderTest, TextRulesLengthCutRepeatAndDashboard) {
    reader->handle("  1234567  ");
    EXPECT_EQ(reader->lastHandledText(), "");
    reader->handle("screen A text");
    reader->handle("screen A text");
    reader->handle("screen B text");
    reader->handle("screen A text");
    EXPECT_EQ(posts("/api/scan"), 3u);

    const std::string head(4000, 'x');
    reader->handle(head + "tail one");
    reader->handle(head + "tail two");
    EXPECT_EQ(posts("/api/scan"), 4u);
    EXPECT_EQ(lastBody("/api/scan")["text"].get<std::string>().size(), 4000u);

    reader->handle("Wellspire Snapshots of your week");
    EXPECT_EQ(posts("/api/scan"), 4u);
    reader->handle("Wellspire Snapshots of your week");
    reader->handle("Snapshots without the product name");
    reader->handle("wellspire Weather report in lower case");
    reader->handle("Wellspire alone is just a word");
    EXPECT_EQ(posts("/api/scan"), 7u);
    EXPECT_TRUE(sim.logLines().empty());
}

TEST_F(ScreenReaderTest, CrisisScanPhraseChoiceAndRepeatWindow) {
    reader->handleScanReply(Json{{"level", 0}, {"tier3", true}}, "t");
    reader->handleScanReply(Json{{"level", 1.5}, {"tier3", true}}, "t");
    sim.runReady();
    EXPECT_TRUE(sim.logLines().empty());

    reader->handleScanReply(
        Json{{"level", 2}, {"tier3", true}, {"hits", {{{"tier", "2"}, {"phrase", "a"}}, {{"tier", "3"}, {"phrase", "b"}}}}},
        "t");
    sim.runReady();
    EXPECT_EQ(sim.logLines().at(0), "OCR tier-3 crisis \u2192 popup");
    auto panels = sim.windowing().visiblePanels();
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_EQ(panels[0]->identifier(),
              "Wellspire \u2014 let's loop someone inSomething you wrote matched a crisis signal. You don't have to "
              "carry it alone. If it's urgent, call or text 988.\n\nDetected: \u201Cb\u201D");

    sim.advance(10);  // same phrase within 40 s: dropped silently
    reader->handleScanReply(Json{{"level", 3}, {"tier3", true}, {"hits", {{{"tier", "3"}, {"phrase", "b"}}}}}, "t");
    sim.runReady();
    EXPECT_EQ(Popup::shared().count(), 1u);
    // Another phrase 10 s after: the quiet window does not hold back a crisis; a numeric tier
    // is no crisis hit, so the first hit's phrase is taken.
    reader->handleScanReply(Json{{"level", 3}, {"tier3", true}, {"hits", {{{"tier", 3}, {"phrase", "c"}}}}}, "t");
    sim.runReady();
    EXPECT_EQ(Popup::shared().count(), 2u);
    Popup::shared().closeAll();  // otherwise the same text would be a duplicate of the showing panel
    sim.advance(31);             // 41 s after the first
    reader->handleScanReply(Json{{"level", 3}, {"tier3", true}, {"hits", {{{"tier", "3"}, {"phrase", "b"}}}}}, "t");
    sim.runReady();
    EXPECT_EQ(count("OCR tier-3 crisis \u2192 popup"), 3u);
    EXPECT_EQ(Popup::shared().count(), 1u);
    // No hits: no phrase line.
    reader->handleScanReply(Json{{"level", 3}, {"tier3", true}, {"hits", {1, 2}}}, "t");
    sim.runReady();
    EXPECT_EQ(sim.windowing().panels.back()->identifier().find("Detected"), std::string::npos);
    EXPECT_EQ(posts("/api/monitor"), 0u);
}

TEST_F(ScreenReaderTest, CandidateIsConfirmedInContext) {
    reader->handleScanReply(Json{{"level", 1}, {"hits", {{{"tier", "1"}, {"phrase", "so tired"}}}}}, "the screen text");
    ASSERT_EQ(posts("/api/monitor"), 1u);
    EXPECT_EQ(lastBody("/api/monitor"), (Json{{"text", "the screen text"}}));

    answerLast("/api/monitor", Json{{"judgment", {{"surface", "none"}, {"risk_level", "low"}}}});
    EXPECT_EQ(lastLine(), "OCR candidate judged low in context \u2192 no popup");
    reader->handleConfirmReply(Json{{"l1", {}}}, "x");
    EXPECT_EQ(lastLine(), "OCR candidate judged none in context \u2192 no popup");

    reader->handleConfirmReply(Json{{"judgment", {{"surface", "gentle"}, {"risk_level", "moderate"}}}}, "so tired");
    sim.runReady();
    EXPECT_EQ(sim.logLines().at(2), "OCR moderate confirmed in context \u2192 popup (crisis=false)");
    EXPECT_EQ(sim.windowing().panels.back()->identifier(),
              "Wellspire \u2014 a quiet check-inLooks like a lot on you right now. Want to take a breath together?"
              "\n\nNoticed: \u201Cso tired\u201D");

    // Within 15 s of a screen check-in no candidate is confirmed; the same phrase within 40 s is dropped.
    sim.advance(14);
    reader->handleScanReply(Json{{"level", 1}, {"hits", {{{"tier", "1"}, {"phrase", "other"}}}}}, "t2");
    EXPECT_EQ(posts("/api/monitor"), 1u);
    sim.advance(2);
    reader->handleScanReply(Json{{"level", 1}, {"hits", {{{"tier", "1"}, {"phrase", "so tired"}}}}}, "t3");
    EXPECT_EQ(posts("/api/monitor"), 1u);
    reader->handleScanReply(Json{{"level", 1}, {"hits", {{{"tier", "1"}, {"phrase", "other"}}}}}, "t4");
    EXPECT_EQ(posts("/api/monitor"), 2u);
    answerLast("/api/monitor", Json{{"judgment", {{"surface", "urgent"}, {"risk_level", "high"}}}});
    EXPECT_EQ(lastLine(), "POPUP shown crisis=true stack=2");
    EXPECT_EQ(sim.logLines().at(4), "OCR high confirmed in context \u2192 popup (crisis=true)");
}

TEST_F(ScreenReaderTest, ADeeplyNestedScanReplyIsDroppedWithoutHarm) {
    // Copying the hits used to recurse once per level and overflow the stack.
    const std::string deep = std::string(300000, '[') + std::string(300000, ']');
    reader->handle("a screen text to scan");
    platform::HttpResponse r;
    r.status = 200;
    r.body = R"({"level":3,"tier3":true,"hits":[{"tier":"3","phrase":"p","x":)" + deep + "}]}";
    sim.http().answer(*sim.http().last("/api/scan"), r);
    sim.runReady();
    EXPECT_EQ(Popup::shared().count(), 0u);
    EXPECT_EQ(posts("/api/monitor"), 0u);
}

TEST_F(ScreenReaderTest, NoReplyAndAGoneReaderLogNothing) {
    reader->handle("a screen text to scan");
    sim.http().fail(*sim.http().last("/api/scan"));
    sim.runReady();
    reader->handle("another screen text");
    reader.reset();
    answerLast("/api/scan", Json{{"level", 3}, {"tier3", true}});
    EXPECT_TRUE(sim.logLines().empty());
    EXPECT_EQ(Popup::shared().count(), 0u);
}

}  // namespace
