// The incremental reader against an engine whose reading is exact and cheap: lines are solid bars
// whose grey level names their text, laid out in two columns. Whatever changes between frames, the
// assembled lines must equal a whole-page reading of the new frame, and unchanged rows must not be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "platform/linux/IncrementalRecognizer.h"

namespace {

using linuxplatform::Band;
using linuxplatform::GreyPage;
using linuxplatform::IncrementalRecognizer;
using linuxplatform::TextLine;

constexpr int kWidth = 200, kHeight = 400, kRowStep = 20, kBarHeight = 10;
constexpr int kColumnX[2] = {10, 110};
constexpr int kBarWidth = 80;

// Bars: (column, row slot) -> level 1..200 (0: none).
using Screen = std::map<std::pair<int, int>, int>;

platform::Image draw(const Screen& screen) {
    platform::Image image;
    image.width = kWidth;
    image.height = kHeight;
    image.rgba.assign(static_cast<std::size_t>(kWidth) * kHeight * 4, 255);
    for (const auto& [at, level] : screen) {
        const int top = 5 + at.second * kRowStep;
        for (int y = top; y < top + kBarHeight; ++y)
            for (int x = kColumnX[at.first]; x < kColumnX[at.first] + kBarWidth; ++x) {
                auto* p = image.rgba.data() + (static_cast<std::size_t>(y) * kWidth + x) * 4;
                p[0] = p[1] = p[2] = static_cast<std::uint8_t>(level);
            }
    }
    return image;
}

// Reads bars column by column, as a layout engine reads blocks, each bar wholly inside the band.
class BarEngine final : public linuxplatform::LineEngine {
public:
    std::optional<std::vector<std::vector<TextLine>>> lines(const GreyPage& page, const std::vector<Band>& bands) override {
        ++calls;
        if (fail) return std::nullopt;
        std::vector<std::vector<TextLine>> out;
        for (const Band& band : bands) {
            rowsRead += band.height();
            auto& found = out.emplace_back();
            // As Tesseract does with a window's frame: the whole page, read as one empty "line".
            if (band.top == 0 && band.bottom == page.height) found.push_back({0, 0, page.width, page.height, std::nullopt, {}});
            for (int column = 0; column < 2; ++column) {
                const int x = kColumnX[column] + 1;
                for (int y = band.top; y < band.bottom; ++y) {
                    const int level = page.pixels[static_cast<std::size_t>(y) * page.width + x];
                    if (level == 255) continue;
                    int end = y;
                    while (end < band.bottom && page.pixels[static_cast<std::size_t>(end) * page.width + x] == level) ++end;
                    // A bar cut by the band edge reads as noise, as a cut line of text would.
                    const bool whole = (y == 0 || page.pixels[static_cast<std::size_t>(y - 1) * page.width + x] != level) &&
                                       end - y == kBarHeight;
                    found.push_back({kColumnX[column], y, kColumnX[column] + kBarWidth, end,
                                     whole ? std::optional<std::string>("w" + std::to_string(level)) : "~", {}});
                    y = end - 1;
                }
            }
        }
        return out;
    }
    int calls = 0;
    long rowsRead = 0;
    bool fail = false;
};

std::vector<std::optional<std::string>> wholeReading(const Screen& screen) {
    BarEngine engine;
    const auto page = GreyPage::of(draw(screen));
    auto read = engine.lines(page, {Band{0, page.height}});
    std::vector<std::optional<std::string>> out;
    for (const auto& line : read->front()) out.push_back(line.text);
    return out;
}

}  // namespace

TEST(IncrementalRecognizerTest, AnyChangeReadsLikeTheWholePageWhileUnchangedRowsStayUnread) {
    auto engine = std::make_shared<BarEngine>();
    IncrementalRecognizer reader(engine);
    std::mt19937 random(1234);
    Screen screen;
    for (int slot = 0; slot < 18; ++slot)
        for (int column : {0, 1})
            if (random() % 4 != 0) screen[{column, slot}] = 1 + static_cast<int>(random() % 200);

    ASSERT_EQ(reader.recognize(draw(screen)), wholeReading(screen));
    for (int step = 0; step < 300; ++step) {
        const std::pair<int, int> at{static_cast<int>(random() % 2), static_cast<int>(random() % 19)};
        const Screen previous = screen;
        switch (random() % 3) {
            case 0: screen[at] = 1 + static_cast<int>(random() % 200); break;  // typed, or a new line
            case 1: screen.erase(at); break;                                   // a line removed
            default: break;                                                    // nothing changed
        }
        const long before = engine->rowsRead;
        const int callsBefore = engine->calls;
        ASSERT_EQ(reader.recognize(draw(screen)), wholeReading(screen)) << "step " << step;
        // At most the changed bar's rows, its neighbours' gaps and margins; never the page.
        EXPECT_LE(engine->rowsRead - before, 3 * kRowStep) << "step " << step;
        if (screen == previous) {
            EXPECT_EQ(engine->calls, callsBefore) << "an identical frame was read again at step " << step;
        }
    }
    const auto counts = reader.counts();
    EXPECT_EQ(counts.whole, 1u);
    EXPECT_GT(counts.partial, 100u);
    EXPECT_GT(counts.unchanged, 50u);
}

TEST(IncrementalRecognizerTest, LargeChangesSizeChangesAndFailuresReadTheWholePage) {
    auto engine = std::make_shared<BarEngine>();
    IncrementalRecognizer reader(engine);
    Screen screen;
    for (int slot = 0; slot < 18; ++slot) screen[{0, slot}] = 10 + slot;
    ASSERT_TRUE(reader.recognize(draw(screen)));

    // More than half the rows changed: one pass, not many bands.
    for (int slot = 0; slot < 12; ++slot) screen[{0, slot}] = 100 + slot;
    EXPECT_EQ(reader.recognize(draw(screen)), wholeReading(screen));
    EXPECT_EQ(reader.counts().whole, 2u);

    // A failed read is reported and forgets the cache, so the next frame is read whole.
    screen[{1, 3}] = 7;
    engine->fail = true;
    EXPECT_FALSE(reader.recognize(draw(screen)));
    engine->fail = false;
    EXPECT_EQ(reader.recognize(draw(screen)), wholeReading(screen));
    EXPECT_EQ(reader.counts().whole, 3u);

    // Another size, or a theme turned dark, is another page.
    auto smaller = draw(screen);
    smaller.height = kHeight / 2;
    smaller.rgba.resize(static_cast<std::size_t>(kWidth) * smaller.height * 4);
    EXPECT_TRUE(reader.recognize(smaller));
    EXPECT_EQ(reader.counts().whole, 4u);
    auto dark = draw(screen);
    for (std::size_t i = 0; i < dark.rgba.size(); i += 4) dark.rgba[i] = dark.rgba[i + 1] = dark.rgba[i + 2] = 255 - dark.rgba[i];
    EXPECT_TRUE(reader.recognize(dark));
    EXPECT_EQ(reader.counts().whole, 5u);

    // An image that does not hold its pixels is no reading at all, and nothing is asked of the engine.
    const int calls = engine->calls;
    platform::Image broken;
    broken.width = 10;
    broken.height = 10;
    EXPECT_FALSE(reader.recognize(broken));
    EXPECT_EQ(engine->calls, calls);
}

TEST(IncrementalRecognizerTest, BandsGrowToWholeLinesWithoutReachingIntoTheirNeighbours) {
    const std::vector<TextLine> lines = {{0, 100, 50, 120, "a", {}}, {0, 130, 50, 150, "b", {}}, {0, 200, 50, 220, "c", {}}};
    // A change inside "b" reads all of "b" and the blank rows up to its neighbours, not them.
    EXPECT_EQ(IncrementalRecognizer::bandsToRead({{140, 142}}, lines, 400), (std::vector<Band>{{122, 158}}));
    // Changes touching two lines join into one band covering both.
    EXPECT_EQ(IncrementalRecognizer::bandsToRead({{118, 119}, {131, 132}}, lines, 400), (std::vector<Band>{{92, 158}}));
    // New rows in a blank area, near the page edge.
    EXPECT_EQ(IncrementalRecognizer::bandsToRead({{395, 400}}, lines, 400), (std::vector<Band>{{387, 400}}));
    // Row hashes: runs of differing rows, close runs joined, another height is everything.
    std::vector<std::uint64_t> before(30), after(30);
    for (std::size_t i = 0; i < before.size(); ++i) before[i] = after[i] = i;
    after[1] = after[10] = after[12] = 99;
    EXPECT_EQ(IncrementalRecognizer::changedBands(before, after), (std::vector<Band>{{1, 2}, {10, 13}}));
    EXPECT_EQ(IncrementalRecognizer::changedBands({1, 2, 3}, {1, 2}), (std::vector<Band>{{0, 2}}));
}

TEST(IncrementalRecognizerTest, ABandLineAcrossTwoColumnsIsPartedWordByWordIntoThem) {
    using linuxplatform::Word;
    const auto texts = [](const std::vector<TextLine>& lines) {
        std::vector<std::string> out;
        for (const auto& line : lines) out.push_back(line.text.value_or("<none>"));
        return out;
    };
    // The whole page reads the left column, then the right one.
    const std::vector<TextLine> columns = {{10, 100, 90, 110, "one two", {}},
                                           {10, 120, 90, 130, "five", {}},
                                           {110, 100, 190, 110, "three four", {}},
                                           {110, 120, 190, 130, "six", {}}};
    // Read alone, the band joins both columns into one line; "now" was typed past the left line's end.
    const TextLine joinedLine{10, 100, 190, 110, "one two now three four",
                              {{10, 100, 40, 110, "one"}, {45, 100, 90, 110, "two"}, {92, 100, 104, 110, "now"},
                               {110, 100, 150, 110, "three"}, {155, 100, 190, 110, "four"}}};
    EXPECT_EQ(texts(IncrementalRecognizer::merge(columns, {{95, 115}}, {{joinedLine}}, 400)),
              (std::vector<std::string>{"one two now", "five", "three four", "six"}));

    // Two lines of one column whose words the engine read at an offset stay one line.
    const std::vector<TextLine> column = {{10, 100, 90, 110, "alpha beta", {}}, {10, 112, 90, 122, "gamma", {}}};
    const TextLine skewed{10, 104, 90, 118, "alpha beta", {{10, 104, 45, 114, "alpha"}, {50, 108, 90, 118, "beta"}}};
    EXPECT_EQ(texts(IncrementalRecognizer::merge(column, {{95, 125}}, {{skewed}}, 400)),
              (std::vector<std::string>{"alpha beta"}));

    // Words the engine did not tell apart leave the line as read.
    const TextLine plain{10, 100, 190, 110, "one two three four", {}};
    EXPECT_EQ(texts(IncrementalRecognizer::merge(columns, {{95, 115}}, {{plain}}, 400)),
              (std::vector<std::string>{"one two three four", "five", "six"}));
}
