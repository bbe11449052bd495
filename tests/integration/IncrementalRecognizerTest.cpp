// The cached reader against an engine whose reading is exact and cheap: lines are solid bars whose
// grey level names their text, laid out in two columns. Whatever frames came before, the text of a
// frame must equal a fresh reading of that frame, and lines that only moved must not be read again.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>

#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/recognition/IncrementalRecognizer.h"
#include "signals/ScreenReader.h"

namespace {

using linuxplatform::GreyPage;
using linuxplatform::IncrementalRecognizer;
using linuxplatform::LineLayout;
using linuxplatform::Rect;

constexpr int kWidth = 200, kHeight = 400, kRowStep = 20, kBarHeight = 10, kBarWidth = 80;
constexpr int kColumnX[2] = {10, 110};

// Bars: (column, row slot) -> level 1..200; a slot may lie above or below the page (scrolled away).
using Screen = std::map<std::pair<int, int>, int>;

platform::Image draw(const Screen& screen) {
    platform::Image image;
    image.width = kWidth;
    image.height = kHeight;
    image.rgba.assign(static_cast<std::size_t>(kWidth) * kHeight * 4, 255);
    for (const auto& [at, level] : screen) {
        const int top = 5 + at.second * kRowStep;
        for (int y = std::max(0, top); y < std::min(kHeight, top + kBarHeight); ++y)
            for (int x = kColumnX[at.first]; x < kColumnX[at.first] + kBarWidth; ++x) {
                auto* p = image.rgba.data() + (static_cast<std::size_t>(y) * kWidth + x) * 4;
                p[0] = p[1] = p[2] = static_cast<std::uint8_t>(level);
            }
    }
    return image;
}

// Lays out bars column by column, as Tesseract orders blocks; reads a piece by its pixels alone.
class BarEngine final : public linuxplatform::LineEngine {
public:
    std::optional<std::vector<LineLayout>> layout(const GreyPage& page, const Rect& area) override {
        ++layouts;
        if (failLayout) return std::nullopt;
        std::vector<LineLayout> out;
        for (int column = 0; column < 2; ++column) {
            const int x = kColumnX[column] + 1;
            if (x < area.left || x >= area.right) continue;
            for (int y = area.top; y < area.bottom; ++y) {
                const int level = page.pixels[static_cast<std::size_t>(y) * page.width + x];
                if (level == 255) continue;
                int end = y;
                while (end < area.bottom && page.pixels[static_cast<std::size_t>(end) * page.width + x] == level) ++end;
                const Rect box{kColumnX[column], y, kColumnX[column] + kBarWidth, end};
                out.push_back({box,
                               {{std::max(area.left, box.left - 2), std::max(area.top, y - 2),
                                 std::min(area.right, box.right + 2), std::min(area.bottom, end + 2)}},
                               box.height()});
                y = end - 1;
            }
        }
        return out;
    }
    std::optional<linuxplatform::PieceReading> read(const GreyPage& page, const Rect& piece) override {
        ++reads;
        // In the background, but not at SCHED_IDLE, which gets no time while every core is busy.
        background = background && sched_getscheduler(0) == SCHED_BATCH &&
                     getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())) == IncrementalRecognizer::backgroundNice;
        int level = 255, rows = 0;
        for (int y = piece.top; y < piece.bottom; ++y) {
            const int v = page.pixels[static_cast<std::size_t>(y) * page.width + piece.left + 3];
            if (v != 255) level = v, ++rows;
        }
        // A bar cut by the page edge reads as noise, as a cut line of text would.
        return rows == kBarHeight ? "w" + std::to_string(level) : "~";
    }
    int layouts = 0, reads = 0;
    bool failLayout = false;
    std::atomic<bool> background = true;
};

std::vector<std::optional<std::string>> freshReading(const platform::Image& image, bool regions = true) {
    IncrementalRecognizer fresh(std::make_shared<BarEngine>(), {.cached = false, .regions = regions});
    return fresh.recognize(image).value();
}

// Lines are the runs of rows with ink; a piece reads as its darkest level and how many rows hold ink.
class RowEngine final : public linuxplatform::LineEngine {
public:
    std::optional<std::vector<LineLayout>> layout(const GreyPage& page, const Rect& area) override {
        const auto ink = [&](int y) {
            const auto* row = page.pixels.data() + static_cast<std::size_t>(y) * page.width;
            return std::any_of(row + area.left, row + area.right, [](std::uint8_t v) { return v < 250; });
        };
        std::vector<LineLayout> out;
        for (int y = area.top; y < area.bottom; ++y) {
            if (!ink(y)) continue;
            int end = y;
            while (end < area.bottom && ink(end)) ++end;
            out.push_back({{area.left, y, area.right, end},
                           {{area.left, std::max(area.top, y - 2), area.right, std::min(area.bottom, end + 2)}},
                           end - y});
            y = end;
        }
        return out;
    }
    std::optional<linuxplatform::PieceReading> read(const GreyPage& page, const Rect& piece) override {
        ++reads;
        int darkest = 255, rows = 0;
        for (int y = piece.top; y < piece.bottom; ++y) {
            const auto* row = page.pixels.data() + static_cast<std::size_t>(y) * page.width;
            const int least = *std::min_element(row + piece.left, row + piece.right);
            darkest = std::min(darkest, least);
            rows += least < 250;
        }
        return "w" + std::to_string(darkest) + "x" + std::to_string(rows);
    }
    int reads = 0;
};

// A page of lines 22 points apart, each a row of strokes of its own grey, shown from `offset` points down.
platform::Image page(int width, int height, int offset) {
    platform::Image image;
    image.width = width;
    image.height = height;
    image.rgba.assign(static_cast<std::size_t>(width) * height * 4, 255);
    for (int line = offset / 22; line * 22 - offset < height; ++line) {
        const int top = line * 22 - offset + 6, length = width - 80 - (line * 37) % 300;
        for (int y = std::max(0, top); y < std::min(height, top + 12); ++y)
            for (int x = 40; x < 40 + length; x += (x % 6 == 2) ? 4 : 1) {
                auto* p = image.rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
                p[0] = p[1] = p[2] = static_cast<std::uint8_t>(20 + (line * 53) % 180);
            }
    }
    return image;
}

}  // namespace

TEST(IncrementalRecognizerTest, AFrameReadsAsAFreshReadingWhateverCameBeforeAndMovedLinesAreNotReadAgain) {
  for (const bool regions : {true, false}) {
    SCOPED_TRACE(regions ? "parted into regions" : "laid out whole");
    auto engine = std::make_shared<BarEngine>();
    IncrementalRecognizer reader(engine, {.regions = regions});
    std::mt19937 random(1234);
    Screen screen;
    for (int slot = -10; slot < 40; ++slot)
        for (int column : {0, 1})
            if (random() % 4 != 0) screen[{column, slot}] = 1 + static_cast<int>(random() % 200);

    ASSERT_EQ(reader.recognize(draw(screen)), freshReading(draw(screen), regions));
    int scrolls = 0;
    for (int step = 0; step < 200; ++step) {
        const Screen previous = screen;
        const int kind = static_cast<int>(random() % 4);
        if (kind == 0) {  // typed into a line, or a new line
            screen[{static_cast<int>(random() % 2), static_cast<int>(random() % 19)}] = 1 + static_cast<int>(random() % 200);
        } else if (kind == 1) {  // a line removed
            screen.erase({static_cast<int>(random() % 2), static_cast<int>(random() % 19)});
        } else if (kind == 2) {  // scrolled by 1 to 3 lines either way
            const int by = (1 + static_cast<int>(random() % 3)) * (random() % 2 ? 1 : -1);
            Screen moved;
            for (const auto& [at, level] : screen) moved[{at.first, at.second + by}] = level;
            screen = moved;
        }
        const int layouts = engine->layouts, reads = engine->reads;
        const auto image = draw(screen);
        ASSERT_EQ(reader.recognize(image), freshReading(image, regions)) << "step " << step;
        if (screen == previous) {
            EXPECT_EQ(engine->layouts, layouts) << "an identical frame was laid out again at step " << step;
        } else if (kind == 2) {
            // Only lines that came into view, or were cut by an edge, are new pixels.
            EXPECT_LE(engine->reads - reads, 4 * 3 + 4) << "step " << step;
            ++scrolls;
        } else {
            EXPECT_LE(engine->reads - reads, 1) << "step " << step;
        }
    }
    EXPECT_GT(scrolls, 30);
    const auto counts = reader.counts();
    EXPECT_TRUE(engine->background && counts.background) << "lines were not read at background priority";
    EXPECT_GT(counts.piecesCached, 20 * counts.piecesRead);
    EXPECT_GT(counts.unchanged, 20u);
    // Parted into regions, a paragraph that only moved is not laid out again either.
    if (regions) {
        EXPECT_GT(counts.layoutsCached, 10 * counts.laidOut);
    }
  }
}

TEST(IncrementalRecognizerTest, FailuresBrokenImagesAndOtherSizesAreNeitherCachedNorServedStale) {
    auto engine = std::make_shared<BarEngine>();
    IncrementalRecognizer reader(engine);
    Screen screen;
    for (int slot = 0; slot < 18; ++slot) screen[{0, slot}] = 10 + slot;
    const auto first = draw(screen);
    ASSERT_EQ(reader.recognize(first), freshReading(first));

    // A failed layout is reported and leaves nothing behind: the frame before is read from what is
    // kept of it, the new one afterwards as a fresh reading.
    screen[{1, 3}] = 7;
    engine->failLayout = true;
    EXPECT_FALSE(reader.recognize(draw(screen)));
    EXPECT_EQ(reader.recognize(first), freshReading(first));
    engine->failLayout = false;
    EXPECT_EQ(reader.recognize(draw(screen)), freshReading(draw(screen)));

    // Another size is another page, even where its rows are those of the last frame.
    auto smaller = draw(screen);
    smaller.height = kHeight / 2;
    smaller.rgba.resize(static_cast<std::size_t>(kWidth) * smaller.height * 4);
    EXPECT_EQ(reader.recognize(smaller), freshReading(smaller));
    auto dark = draw(screen);
    for (std::size_t i = 0; i < dark.rgba.size(); i += 4) dark.rgba[i] = dark.rgba[i + 1] = dark.rgba[i + 2] = 255 - dark.rgba[i];
    EXPECT_EQ(reader.recognize(dark), freshReading(dark));

    // An image that does not hold its pixels is no reading at all, and nothing is asked of the engine.
    const int layouts = engine->layouts;
    platform::Image broken;
    broken.width = 10;
    broken.height = 10;
    EXPECT_FALSE(reader.recognize(broken));
    EXPECT_EQ(engine->layouts, layouts);
}

TEST(IncrementalRecognizerTest, ScrolledLinesAreFoundAgainAtAnyWindowSizeAndScrollOffset) {
    // Windows maximised under a top bar and of other odd sizes, scrolled by whole and odd amounts,
    // captured at the size the screen reader asks for: a moved line scales to the same pixels.
    for (const auto& [width, height] : {std::pair{1920, 1053}, {1366, 705}, {1900, 1000}, {1600, 1000}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const auto [pixelWidth, pixelHeight] = ScreenReader::pixelSize(width, height);
        auto engine = std::make_shared<RowEngine>();
        IncrementalRecognizer reader(engine);
        linuxplatform::ScaledFrameCache frames;
        int offset = 0;
        for (const int step : {0, 40, 7, 1, 13, 40, 66, 3, 40}) {
            offset += step;
            const auto image = frames.scaled(page(width, height, offset), pixelWidth, pixelHeight);
            const int reads = engine->reads;
            const auto reading = reader.recognize(*image);
            IncrementalRecognizer fresh(std::make_shared<RowEngine>(), {.cached = false});
            ASSERT_EQ(reading, fresh.recognize(*image)) << "at " << offset;
            if (step == 0) continue;
            // Read again: the lines that came into view and those an edge no longer cuts.
            EXPECT_LE(engine->reads - reads, step / 22 + 3) << "at " << offset;
        }
        const auto counts = reader.counts();
        EXPECT_GT(counts.piecesCached, 3 * counts.piecesRead);
        EXPECT_GT(counts.layoutsCached, counts.laidOut);
    }
}
