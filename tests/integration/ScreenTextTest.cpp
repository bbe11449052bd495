// The agent's reader with Tesseract on screens drawn by ImageMagick: what a frame gives depends on
// that frame alone, pictures are no text, and a whole line is read whatever bar lies beside it.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/linux/recognition/IncrementalRecognizer.h"
#include "platform/linux/recognition/InlineSections.h"
#include "platform/linux/recognition/TesseractRecognizer.h"

namespace {

using linuxplatform::IncrementalRecognizer;
using linuxplatform::TesseractRecognizer;
using Lines = std::vector<std::optional<std::string>>;

// What `convert` draws from these arguments, as the capture layer hands frames on.
platform::Image drawn(const std::string& args) {
    const std::string command = "convert " + args + " -depth 8 ppm:- 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    platform::Image image;
    char magic[3] = {};
    int most = 0;
    const bool header = std::fscanf(pipe, "%2s %d %d %d", magic, &image.width, &image.height, &most) == 4 &&
                        std::fgetc(pipe) != EOF && most == 255 && image.width > 0 && image.height > 0;
    std::vector<unsigned char> rgb(header ? static_cast<std::size_t>(image.width) * image.height * 3 : 0);
    const bool whole = header && std::fread(rgb.data(), 1, rgb.size(), pipe) == rgb.size();
    pclose(pipe);
    if (!whole) return {};
    for (std::size_t i = 0; i < rgb.size(); i += 3) image.rgba.insert(image.rgba.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 255});
    return image;
}

std::string joined(const std::optional<Lines>& lines) {
    if (!lines) return "(no reading)";
    std::string out;
    for (const auto& line : *lines) out += line.value_or("(nothing)") + " | ";
    return out;
}

// A new reader with a new engine, nothing kept.
std::string fresh(const platform::Image& frame) {
    IncrementalRecognizer reader(std::make_shared<TesseractRecognizer>(), {.cached = false});
    return joined(reader.recognize(frame));
}

const std::string page = "xc:white -font DejaVu-Sans -fill black ";

}  // namespace

TEST(ScreenTextTest, AFramesTextDoesNotDependOnTheHeightOfFramesReadBefore) {
    // The same paragraph at the top of a frame 1200 and 2400 pixels high: its small line is higher
    // than 0.006 of the first and lower than 0.006 of the second.
    const std::string text = "-pointsize 40 -annotate +20+50 'Great big words' -pointsize 12 "
                             "-annotate +20+80 'a small line of words below'";
    const auto low = drawn("-size 700x1200 " + page + text), high = drawn("-size 700x2400 " + page + text);
    ASSERT_FALSE(low.rgba.empty() || high.rgba.empty());
    const std::string lowText = fresh(low), highText = fresh(high);
    ASSERT_NE(lowText.find("small"), std::string::npos) << lowText;
    ASSERT_EQ(highText.find("small"), std::string::npos) << highText;
    for (const bool lowFirst : {true, false}) {
        IncrementalRecognizer reader(std::make_shared<TesseractRecognizer>());
        const auto& first = lowFirst ? low : high;
        const auto& second = lowFirst ? high : low;
        EXPECT_EQ(joined(reader.recognize(first)), lowFirst ? lowText : highText);
        EXPECT_EQ(joined(reader.recognize(second)), lowFirst ? highText : lowText) << "read after the other height";
    }
}

TEST(ScreenTextTest, APictureBesideTextIsNoText) {
    // A photograph-like picture (plasma, fixed seed) beside a paragraph.
    const auto frame = drawn("-size 900x300 " + page +
                             "-pointsize 24 -annotate +20+40 'Pictures are not text at all' "
                             "-annotate +20+80 'Second line of words here' -annotate +20+120 'Third line of the paragraph' "
                             "-annotate +20+160 'Fourth line under the rest' "
                             "-seed 3 \\( -size 300x200 plasma:fractal \\) -geometry +460+20 -composite");
    ASSERT_FALSE(frame.rgba.empty());
    IncrementalRecognizer reader(std::make_shared<TesseractRecognizer>());
    const auto regions = linuxplatform::inlinesections::regionsRun();
    EXPECT_EQ(joined(reader.recognize(frame)), "Pictures are not text at all | Second line of words here | "
                                               "Third line of the paragraph | Fourth line under the rest | ");
    // The engine's OpenMP sections ran on the reading thread, with no team opened for them.
    EXPECT_GT(linuxplatform::inlinesections::regionsRun(), regions);
}

TEST(ScreenTextTest, AWholeLineIsReadBesideABarAndALineCutByTheFramesEdgeIsNot) {
    IncrementalRecognizer reader(std::make_shared<TesseractRecognizer>());
    // A dialog's title bar 3 to 10 pixels under a line without descenders (its box, grown to where
    // descenders would end, reaches into the bar), and a toolbar just over a page's first line.
    for (const int bar : {63, 64, 66, 70}) {
        const auto frame = drawn("-size 900x200 " + page + "-pointsize 36 -annotate +20+60 'A clean line above' "
                                 "-fill '#3c3c3c' -draw 'rectangle 0," + std::to_string(bar) + " 899,199' "
                                 "-fill white -pointsize 20 -annotate +20+" + std::to_string(bar + 30) + " 'Dialog title'");
        ASSERT_FALSE(frame.rgba.empty());
        EXPECT_EQ(joined(reader.recognize(frame)), "A clean line above | Dialog title | ") << "bar at " << bar;
    }
    for (const int gap : {2, 8}) {
        const auto frame = drawn("-size 900x160 " + page + "-fill '#dfe1e5' -draw 'rectangle 0,0 899,39' -fill black "
                                 "-pointsize 20 -annotate +20+28 'Address bar' -font DejaVu-Serif -pointsize 27 "
                                 "-gravity NorthWest -annotate +20+" + std::to_string(40 + gap) + " 'The first line of a page'");
        ASSERT_FALSE(frame.rgba.empty());
        EXPECT_EQ(joined(reader.recognize(frame)), "Address bar | The first line of a page | ") << "gap " << gap;
    }
    // The frame's top edge through the letters of the first line: nothing of it (it would read as
    // junk); the last line's descenders cut by the bottom edge leave its letters whole.
    const auto frame = drawn("-size 900x160 " + page + "-pointsize 36 -annotate +20+50 'Quiet harbor lantern' "
                             "-annotate +20+105 'Seven silver bridges' -annotate +20+150 'Gentle yellow poppy' "
                             "-crop 900x120+0+35 +repage");
    ASSERT_FALSE(frame.rgba.empty());
    EXPECT_EQ(joined(reader.recognize(frame)), "Seven silver bridges | Gentle yellow poppy | ");
    // Lines set close, as in a code block: where the frame's edge shows only the tips of the next
    // line's letters (or the last of the previous line's descenders), the whole line beside them
    // is read.
    const std::string close = "-size 900x200 " + page + "-pointsize 28 -annotate +20+40 'Quiet harbor lantern' "
                              "-annotate +20+72 'Seven silver bridges' -annotate +20+104 'Gentle yellow poppy' ";
    for (const int shown : {2, 3, 5}) {
        const auto cutBelow = drawn(close + "-crop 900x" + std::to_string(84 + shown) + "+0+0 +repage");
        ASSERT_FALSE(cutBelow.rgba.empty());
        EXPECT_EQ(fresh(cutBelow), "Quiet harbor lantern | Seven silver bridges | ") << shown << " rows of tips";
    }
    const auto cutAbove = drawn(close + "-crop 900x120+0+41 +repage");
    ASSERT_FALSE(cutAbove.rgba.empty());
    EXPECT_EQ(fresh(cutAbove), "Seven silver bridges | Gentle yellow poppy | ");
}

TEST(ScreenTextTest, AShortWordAloneInItsRegionIsReadAndAnIconIsNot) {
    // A history of versions in a bold Courier-like font, as a code block shows it at 2×: the version
    // numbers stand in a column of their own, too short for the layout to make lines of. Below, a
    // radio button's circle and a rule beside a button's "OK".
    const auto frame = drawn("-size 900x200 xc:white -font Nimbus-Mono-PS-Bold -fill black -pointsize 32 "
                             "-annotate +72+40 '1.0' -annotate +168+40 '30 Oct 2004' "
                             "-annotate +72+78 '1.1' -annotate +168+78 '9 Nov 2004' -font DejaVu-Sans -pointsize 24 "
                             "-annotate +700+150 'OK' -fill none -stroke black -strokewidth 3 "
                             "-draw 'circle 620,140 632,140' -draw 'line 40,150 80,150'");
    ASSERT_FALSE(frame.rgba.empty());
    EXPECT_EQ(fresh(frame), "1.0 | 1.1 | 30 Oct 2004 | 9 Nov 2004 | OK | ");
}

TEST(ScreenTextTest, ABoldCourierLineIsFittedToItsCellsThoughItsSerifsJoinItsLetters) {
    // In bold Courier at 2× the feet of neighbouring letters touch: its letters are found by their
    // stems, and no space is read where no cell is empty.
    const auto frame = drawn("-size 900x120 xc:white -font Nimbus-Mono-PS-Bold -fill black -pointsize 32 "
                             "-annotate +20+40 '#if defined(MSDOS) || defined(WIN32)' "
                             "-annotate +20+90 'assert(ret != Z_STREAM_ERROR);'");
    ASSERT_FALSE(frame.rgba.empty());
    EXPECT_EQ(fresh(frame), "#if defined(MSDOS) || defined(WIN32) | assert(ret != Z_STREAM_ERROR); | ");
}

TEST(ScreenTextTest, AColumnTheLayoutLeavesOutBesideALineIsReadWithIt) {
    // A history of versions in a code block, as Chromium draws it in DejaVu Sans Mono at 16 px, read
    // at 2×: the layout takes the descriptions for the lines and leaves out the versions and dates
    // before them.
    const auto frame = drawn(WS_SOURCE_DIR "/tests/integration/data/zpipe-version-history.png -bordercolor white "
                                           "-border 35x20 -scale 200%");
    ASSERT_FALSE(frame.rgba.empty());
    const std::string read = fresh(frame);
    for (const char* words : {"1.1 8 Nov 2004 Add void casting", "Use switch statement", "1.2 9 Nov 2004 Add assertions"})
        EXPECT_NE(read.find(words), std::string::npos) << words << " in " << read;
}

TEST(ScreenTextTest, ACodeBlockInNimbusMonoIsReadAsDrawnThoughItsFontJoinsFiIntoOneCell) {
    // As Chromium draws bold Nimbus Mono PS at 16 px, read at 2×: "fi" takes one cell, the parentheses
    // and a bold "m" break the even run of letter middles, and its zero is plain and narrower than
    // its O. No space is read where no cell is empty, and the O of "OS2" is drawn as the O of "MSDOS".
    const auto frame = drawn(WS_SOURCE_DIR "/tests/integration/data/zlib-set-binary-mode.png -bordercolor white "
                                           "-border 35x20 -scale 200%");
    ASSERT_FALSE(frame.rgba.empty());
    const std::string read = fresh(frame);
    for (const char* line : {"#if defined(MSDOS) || defined(OS2) || defined(WIN32) || defined(__CYGWIN__) | ",
                             "# define SET_BINARY_MODE(file) setmode(fileno(file), O_BINARY) | ",
                             "# define SET_BINARY_MODE(file) | "})
        EXPECT_NE(read.find(line), std::string::npos) << line << " in " << read;
}
