// What the engine read of a line, checked against the line's pixels: lines drawn here, one letter
// to a cell as a fixed-width font sets them, or a proportional line with a rule under its words
// (whole, or broken around descenders as Chromium underlines links), each with a reading that has
// the engine's usual faults, and letters placed a little off.
#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "platform/linux/recognition/WordGaps.h"

using linuxplatform::GreyPage;
using linuxplatform::Rect;
namespace wordgaps = linuxplatform::wordgaps;

namespace {

constexpr int pitch = 15, left = 20, top = 14, baseline = 35;

struct Drawn {
    GreyPage page;
    wordgaps::Line line;
};

void fill(GreyPage& page, int x0, int y0, int x1, int y1) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) page.pixels[static_cast<std::size_t>(y) * page.width + x] = 0;
}

bool descends(char c) { return std::string_view("gjpqy").find(c) != std::string_view::npos; }

void shade(GreyPage& page, int x0, int y0, int x1, int y1, std::uint8_t grey) {
    for (int y = y0; y < y1; ++y) std::fill_n(page.pixels.begin() + y * page.width + x0, x1 - x0, grey);
}

// How a font draws its zero: with a dot, plain and as wide as its O, plain and narrower (as Courier
// does), or with a dot at a small size, where the gaps beside the dot and the inner edges of an O's
// sides are grey, not white.
enum class Zero { Dotted, Plain, PlainNarrow, SmallDotted };

// `shown` drawn in 15-pixel cells: capitals and the like as blocks (g, j, p, q, y with a stem below
// the baseline), O as a ring, 0 as a ring with a dot (or plain), _ as a stroke below the baseline.
// The reading's letters are placed where the engine would put them, a spurious space taking no cell.
Drawn fixedWidth(const std::string& shown, const std::string& read, Zero zero = Zero::Dotted) {
    Drawn d;
    d.page.width = left * 2 + pitch * static_cast<int>(shown.size());
    d.page.height = 50;
    d.page.pixels.assign(static_cast<std::size_t>(d.page.width) * d.page.height, 255);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const int x = left + pitch * static_cast<int>(i);
        if (shown[i] == '_') {
            fill(d.page, x, baseline + 3, x + pitch, baseline + 5);
        } else if (shown[i] == 'O' || shown[i] == '0') {
            const int inset = shown[i] == '0' && zero == Zero::PlainNarrow ? 2 : 0;
            fill(d.page, x + 2 + inset, top, x + 13 - inset, baseline);
            for (int y = top + 2; y < baseline - 2; ++y)
                std::fill_n(d.page.pixels.begin() + y * d.page.width + x + 4 + inset, 7 - 2 * inset, 255);
            if (zero == Zero::SmallDotted) {
                // As DejaVu Sans Mono at 15 px shows read at twice its size: thicker sides with grey
                // inner edges, and the dot between grey gaps.
                fill(d.page, x + 4, top + 2, x + 5, baseline - 2);
                fill(d.page, x + 10, top + 2, x + 11, baseline - 2);
                shade(d.page, x + 5, top + 2, x + 6, baseline - 2, 110);
                shade(d.page, x + 9, top + 2, x + 10, baseline - 2, 110);
                if (shown[i] == '0') {
                    shade(d.page, x + 6, top + 8, x + 7, baseline - 8, 118);
                    shade(d.page, x + 7, top + 8, x + 8, baseline - 8, 40);
                    shade(d.page, x + 8, top + 8, x + 9, baseline - 8, 150);
                }
            } else if (shown[i] == '0' && zero == Zero::Dotted) {
                fill(d.page, x + 6, top + 8, x + 9, baseline - 8);
            }
        } else if (shown[i] != ' ') {
            fill(d.page, x + 3, top, x + 12, baseline);
            if (descends(shown[i])) fill(d.page, x + 6, baseline, x + 9, baseline + 7);
        }
    }
    d.line = {{left - 2, top - 4, d.page.width - left + 2, baseline + 7}, pitch, {{}}};
    std::size_t cell = 0;
    for (std::size_t r = 0; r < read.size(); ++r) {
        const char c = read[r];
        if (c == ' ') {
            d.line.words.emplace_back();
            if (shown[cell] == ' ' || shown[cell] == '_') ++cell;
            continue;
        }
        const int at = left + pitch * static_cast<int>(cell) + 8;
        d.line.words.back().push_back({std::string(1, c), at});
        // '~' is "fi" or "fl" drawn as one letter.
        if (shown[cell++] == '~') d.line.words.back().push_back({std::string(1, read[++r]), at});
    }
    return d;
}

}  // namespace

TEST(WordGapsTest, AFixedWidthLineIsFittedToItsCells) {
    for (const auto& [shown, read, expected] : {
             // Underscores read as spaces, or with a space beside them.
             std::tuple{"ret = Z_STREAM_ERROR;", "ret = Z STREAM ERROR;", "ret = Z_STREAM_ERROR;"},
             {"ret = Z_STREAM_ERROR;", "ret = Z_ STREAM_ ERROR;", "ret = Z_STREAM_ERROR;"},
             // Spaces where no cell is empty, several empty cells for one space.
             {"(void)inflateEnd(&strm);", "(void) inflateEnd(&strm) ;", "(void)inflateEnd(&strm);"},
             {"x    = 1; y = 22;", "x = 1; y = 22;", "x = 1; y = 22;"},
             // Underscores beside descenders are underscores still.
             {"log_yield(get_pid);", "log yield(get pid);", "log_yield(get_pid);"},
             // A run of underscores read as one.
             {"#if defined(__CYGWIN__)", "#if defined(_CYGWIN_)", "#if defined(__CYGWIN__)"},
             // Where the line shows the font's zero marked, a hollow O read as a zero (between
             // letters, or opening a word in capitals) is an O; a marked zero read as an O is a
             // zero; a dotted zero, and a zero among digits, stay.
             {"if (ret != Z_OK) return O_BINARY + 0;", "if (ret != Z 0K) return 0_BINARY + 0;",
              "if (ret != Z_OK) return O_BINARY + 0;"},
             {"x = 0xA0B0C0D0;", "x = OxAOBOCODO;", "x = 0xA0B0C0D0;"},
             {"if (ret != Z_0K) return 0_BINARY;", "if (ret != Z_0K) return 0_BINARY;",
              "if (ret != Z_0K) return 0_BINARY;"},
             {"level = 10 + 20 + 30;", "level = 10 + 20 + 30;", "level = 10 + 20 + 30;"},
         }) {
        const Drawn d = fixedWidth(shown, read);
        EXPECT_EQ(wordgaps::text(d.page, d.line), expected) << read;
    }
    // A line that shows no marked zero proves nothing about its zeros: in a font whose zero is
    // plain (Courier), hollow zeros are what the engine read them as.
    for (const auto& [shown, read] : {std::pair{"commit d0a9097", "commit d0a9097"},
                                      {"x = 0xA0B0C0D0;", "x = 0xA0B0C0D0;"},
                                      {"total = 0U + n;", "total = 0U + n;"}}) {
        const Drawn d = fixedWidth(shown, read, Zero::Plain);
        EXPECT_EQ(wordgaps::text(d.page, d.line), read) << read;
    }
    // At a small size an O's inner edges are grey and the dot of a zero stands between grey gaps:
    // an O read right stays an O, and a zero is still told by its dot.
    for (const auto& [shown, read, expected] : {
             std::tuple{"return Z_OK + 10; // MSDOS", "return Z_OK + 10; // MSD0S", "return Z_OK + 10; // MSDOS"},
             {"x = 0xA0B0C0D0; /* OK */", "x = OxAOBOCODO; /* 0K */", "x = 0xA0B0C0D0; /* OK */"},
         }) {
        const Drawn d = fixedWidth(shown, read, Zero::SmallDotted);
        EXPECT_EQ(wordgaps::text(d.page, d.line), expected) << read;
    }
    // A font that joins "fi" and "fl" into one letter of one cell, beside an "fl" it draws apart.
    for (const auto& [shown, read, expected] : {
             std::tuple{"# de~ne MODE(~le) setmode(~leno(~le), O_BINARY)",
                        "# define MODE (file) setmode (fileno (file), O_BINARY)",
                        "# define MODE(file) setmode(fileno(file), O_BINARY)"},
             {"i~ate(&strm, Z_NO_FLUSH); in~ateEnd(&strm);", "iflate(&strm, Z NO FLUSH); inflateEnd(&strm) ;",
              "iflate(&strm, Z_NO_FLUSH); inflateEnd(&strm);"},
             {"inflate(&strm, Z_NO_FLUSH); in~ateEnd(&strm);", "inflate (&strm, Z NO FLUSH); inflateEnd(&strm);",
              "inflate(&strm, Z_NO_FLUSH); inflateEnd(&strm);"},
         }) {
        const Drawn d = fixedWidth(shown, read);
        EXPECT_EQ(wordgaps::text(d.page, d.line), expected) << read;
    }
    // A reading that does not fit the cells (a letter lost) is left as it is.
    const Drawn d = fixedWidth("(void)inflateEnd(&strm);", "(void) inflateEnd(&strm");
    EXPECT_EQ(wordgaps::text(d.page, d.line), "(void) inflateEnd(&strm");
}

// A line with no zero of its own to show its font's learns it from the rest of the frame: from a
// line in the same cells and height that shows the zero marked, and from nothing else.
TEST(WordGapsTest, AHollowZeroIsAnOOnlyWhereTheFrameShowsTheSameFontsZeroMarked) {
    const Drawn code = fixedWidth("if (ret != Z_OK) return MSDOS;", "if (ret != Z_0K) return MSD0S;");
    const Drawn dotted = fixedWidth("level = 10; count = 20;", "level = 10; count = 20;");
    const Drawn plain = fixedWidth("level = 10; count = 20;", "level = 10; count = 20;", Zero::Plain);
    const auto settled = [&](std::vector<linuxplatform::PieceReading> frame) {
        std::vector<linuxplatform::PieceReading*> pieces;
        for (auto& piece : frame) pieces.push_back(&piece);
        wordgaps::settleZeros(pieces);
        return frame.front().text;
    };
    const auto alone = wordgaps::read(code.page, code.line);
    EXPECT_EQ(alone.text, "if (ret != Z_0K) return MSD0S;");
    EXPECT_EQ(settled({alone}), alone.text);
    EXPECT_EQ(settled({alone, wordgaps::read(dotted.page, dotted.line)}), "if (ret != Z_OK) return MSDOS;");
    // A plain zero proves nothing, nor a marked one in wider cells or taller letters.
    EXPECT_EQ(settled({alone, wordgaps::read(plain.page, plain.line)}), alone.text);
    auto wider = wordgaps::read(dotted.page, dotted.line);
    wider.pitch *= 1.2;
    auto taller = wordgaps::read(dotted.page, dotted.line);
    taller.zeroHeight += taller.zeroHeight / 4;
    EXPECT_EQ(settled({alone, wider, taller}), alone.text);
}

// In a font whose zero is plain, a letter read as a zero where an O may stand is an O when it is
// drawn as wide as the Os the frame shows in the same font, and no zero is drawn so.
TEST(WordGapsTest, AHollowZeroDrawnAsTheFontsOIsAnOWhereTheZeroIsPlainAndNarrower) {
    const auto settled = [](std::vector<Drawn> lines) {
        std::vector<linuxplatform::PieceReading> frame;
        for (const Drawn& d : lines) frame.push_back(wordgaps::read(d.page, d.line));
        std::vector<linuxplatform::PieceReading*> pieces;
        for (auto& piece : frame) pieces.push_back(&piece);
        wordgaps::settleZeros(pieces);
        return frame.front().text;
    };
    const std::string shown = "#if defined(MSDOS) || defined(OS2)", read = "#if defined(MSDOS) || defined(0S2)";
    EXPECT_EQ(settled({fixedWidth(shown, read, Zero::PlainNarrow)}), shown);
    // Real zeros stay, narrow beside the O, or as wide as a zero among digits.
    EXPECT_EQ(settled({fixedWidth("commit d0a9097 // OK", "commit d0a9097 // OK", Zero::PlainNarrow)}),
              "commit d0a9097 // OK");
    EXPECT_EQ(settled({fixedWidth("x = 0U; // OK", "x = 0U; // OK", Zero::PlainNarrow)}), "x = 0U; // OK");
    // Where a zero is shown drawn as the O, the engine’s reading stands, and so it does with no O to
    // compare with, or with the O only in wider cells.
    EXPECT_EQ(settled({fixedWidth(shown, read, Zero::Plain), fixedWidth("level = 10 + 20 + 30;", "level = 10 + 20 + 30;", Zero::Plain)}),
              read);
    const Drawn noO = fixedWidth("#if defined(MSDxS) || defined(OS2)", "#if defined(MSDxS) || defined(0S2)",
                                 Zero::PlainNarrow);
    EXPECT_EQ(settled({noO}), "#if defined(MSDxS) || defined(0S2)");
    std::vector<linuxplatform::PieceReading> frame{wordgaps::read(noO.page, noO.line)};
    const Drawn withO = fixedWidth("OK", "OK", Zero::PlainNarrow);
    frame.push_back(wordgaps::read(withO.page, withO.line));
    frame.back().pitch *= 1.2;
    std::vector<linuxplatform::PieceReading*> pieces{&frame[0], &frame[1]};
    wordgaps::settleZeros(pieces);
    EXPECT_EQ(frame[0].text, "#if defined(MSDxS) || defined(0S2)");
}

TEST(WordGapsTest, AProportionalLineKeepsItsSpacesAndARuleUnderWordsIsNoUnderscore) {
    // Letters 5 to 12 pixels wide, 2 apart, 7 for a space; a rule under "to be", as under a link.
    const std::string words = "see to be or_there";
    Drawn d;
    d.page.width = 600;
    d.page.height = 50;
    d.page.pixels.assign(static_cast<std::size_t>(d.page.width) * d.page.height, 255);
    d.line = {{10, top - 4, 0, baseline + 7}, 9, {{}}};
    int x = 14, ruleFrom = 0, ruleTo = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i == 4) ruleFrom = x;
        if (i == 9) ruleTo = x - 7;
        if (words[i] == ' ') {
            x += 7;
            d.line.words.emplace_back();
            continue;
        }
        const int width = 5 + static_cast<int>(i * 7 % 8);
        if (words[i] == '_') {
            fill(d.page, x, baseline + 3, x + width, baseline + 5);
            d.line.words.emplace_back();  // read as a space
        } else {
            fill(d.page, x, top, x + width, baseline);
            d.line.words.back().push_back({std::string(1, words[i]), x + 3});
        }
        x += width + 2;
    }
    fill(d.page, ruleFrom, baseline + 3, ruleTo, baseline + 5);
    d.line.box.right = x + 2;
    EXPECT_EQ(wordgaps::text(d.page, d.line), words);
}

TEST(WordGapsTest, ALinksUnderlineBrokenAroundDescendersIsARuleNotUnderscores) {
    // Chromium skips a link's underline where descenders cross it: between "long" and "gap" only a
    // short stroke under the space is left, as an underscore would be. Letters 7 to 10 pixels wide,
    // 2 apart, 7 for a space, descenders with a stem to 7 rows below the baseline; each phrase a
    // link, the underline 2 rows under the baseline, broken 2 pixels either side of a stem.
    for (const std::string link : {"long gap", "big yoga", "hang yourself"}) {
        // The link within a line, and a real underscore beside it that must stay.
        const std::string phrase = "see " + link + " and a dog_tag";
        Drawn d;
        d.page.width = 400;
        d.page.height = 50;
        d.page.pixels.assign(static_cast<std::size_t>(d.page.width) * d.page.height, 255);
        d.line = {{10, top - 4, 0, baseline + 9}, 9, {{}}};
        const std::size_t linkFrom = 4, linkTo = 4 + link.size();
        int x = 14, ruleFrom = 0, ruleTo = 0;
        std::vector<int> stems;
        for (std::size_t i = 0; i < phrase.size(); ++i) {
            if (i == linkFrom) ruleFrom = x;
            if (phrase[i] == ' ') {
                x += 7;
                d.line.words.emplace_back();
            } else if (phrase[i] == '_') {
                fill(d.page, x, baseline + 4, x + 9, baseline + 6);
                d.line.words.emplace_back();  // read as a space
                x += 11;
            } else {
                const int width = 7 + static_cast<int>(i * 5 % 4);
                fill(d.page, x, top + (std::isupper(static_cast<unsigned char>(phrase[i])) ? 0 : 6), x + width, baseline);
                if (descends(phrase[i])) {
                    fill(d.page, x + width / 2 - 1, baseline, x + width / 2 + 2, baseline + 7);
                    if (i >= linkFrom && i < linkTo) stems.push_back(x + width / 2 - 1);
                }
                d.line.words.back().push_back({std::string(1, phrase[i]), x + width / 2});
                x += width + 2;
            }
            if (i + 1 == linkTo) ruleTo = x - 2;
        }
        stems.push_back(ruleTo + 2);
        for (const int stem : stems) {
            fill(d.page, ruleFrom, baseline + 2, std::max(ruleFrom, stem - 2), baseline + 3);
            ruleFrom = stem + 5;
        }
        d.line.box.right = x + 2;
        EXPECT_EQ(wordgaps::text(d.page, d.line), phrase);
    }
}
