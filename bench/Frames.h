#pragma once
// Screens of text rendered here, so that anyone can rerun the measurements: a layout of words in
// one or two columns, in a given font, size and theme, as the agent would capture it (1920×1080
// points scaled to the pixels the screen reader asks for).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenCapture.h"

class QImage;

namespace bench {

struct Layout {
    std::string family = "DejaVu Sans";
    int pixelSize = 15;
    bool dark = false;
    int columns = 1;
    std::vector<std::vector<std::string>> lines;  // per line, its words; columns fill top to bottom
    std::size_t first = 0;                        // the first line on screen (scrolling)
    // Things above the text: a label (no frame), a dialog or a notification (framed), in points.
    struct Box {
        int x = 0, y = 0, width = 0, height = 0;
        std::vector<std::string> lines;
        bool framed = true;
    };
    std::vector<Box> boxes;
    // A picture (a video frame), RGBA, drawn at (pictureX, pictureY).
    std::vector<std::uint8_t> picture;
    int pictureX = 0, pictureY = 0, pictureWidth = 0, pictureHeight = 0;
};

// A dense screen: as many lines as fit, `wordsPerLine` pseudo-random words each.
Layout denseLayout(const std::string& family, int pixelSize, bool dark, int columns, unsigned seed);
// A document of `count` lines, longer than the screen, to scroll through.
Layout longLayout(const std::string& family, int pixelSize, bool dark, std::size_t count, unsigned seed);
// Lines on the screen per column.
int linesPerColumn(const Layout& layout);
// The same layout with one more word typed at the end of line `line`.
void typeWord(Layout& layout, std::size_t line, unsigned seed);
// A Qt image as the capture layer hands images on (RGBA rows, top first).
platform::Image toImage(const QImage& source);
// The screen as captured: 1920×1080 scaled as the screen reader asks.
platform::Image render(const Layout& layout);
// The screen at 1920×1080, unscaled.
platform::Image rendered(const Layout& layout);
// The top left width × height of an image (a smaller window showing the same content).
platform::Image corner(const platform::Image& image, int width, int height);
std::string truth(const Layout& layout);

// Words, lower-cased, letters and digits only: what stands between spaces, its punctuation left out
// ("Z_STREAM_ERROR" is one word, "zstreamerror").
std::vector<std::string> words(const std::string& text);
// Runs of letters and digits, lower-cased: punctuation parts them as spaces do ("Z_STREAM_ERROR" is
// three words).
std::vector<std::string> runs(const std::string& text);
// Longest common subsequence of two word lists.
std::size_t matched(const std::vector<std::string>& a, const std::vector<std::string>& b);
std::string joined(const std::optional<std::vector<std::optional<std::string>>>& lines);

}  // namespace bench
