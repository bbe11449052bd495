#pragma once
// What finds the text lines of a grey page and reads a piece of a line on its own.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/recognition/GreyPage.h"

namespace linuxplatform {

// A rectangle of page pixels, right and bottom exclusive.
struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

// One line of the page as layout analysis found it: the images the engine reads for it, in order.
// What is read of a piece depends on the piece's pixels alone.
struct LineLayout {
    Rect box;
    std::vector<Rect> pieces;
    int height = 0;  // as the engine measured the line, before its box was grown to the descenders
    bool operator==(const LineLayout&) const = default;
};

// What was read of a piece, and what its pixels say of the zeros in it. A hollow letter read as a
// zero is an O only in a font that draws its zero with a dot or a slash; a piece that shows no such
// zero of its own leaves that to the rest of the frame (`wordgaps::settleZeros`).
struct PieceReading {
    std::string text;
    // Set when the piece is a line in a fixed-width font: its cells' width and the height of the
    // zeros or Os in it, in pixels, which tell the font and size apart.
    double pitch = 0;
    int zeroHeight = 0;
    bool markedZero = false;  // a zero with a mark in it stands in the piece
    // Offsets in `text` of zeros drawn hollow where an O may stand (between letters, or opening a
    // word in capitals), and how wide each is drawn.
    std::vector<std::size_t> hollowZeros;
    std::vector<int> hollowWidths;
    // How wide the hollow letters read as O are drawn, and the zeros read where no O may stand.
    std::vector<int> hollowOs;
    std::vector<int> plainZeros;

    PieceReading() = default;
    PieceReading(std::string read) : text(std::move(read)) {}  // NOLINT: a reading with nothing to settle
    bool operator==(const PieceReading&) const = default;
};

class LineEngine {
public:
    virtual ~LineEngine() = default;
    // Lines lower than this share of the frame's height are not read. The reader judges it, not the
    // layout: a layout depends on its area's pixels alone, whatever frame they stand in.
    static constexpr double minimumTextHeight = 0.006;

    // The text lines of an area of the page, laid out as a page of its own, in reading order and in
    // page coordinates, each piece cut as the engine cuts a line (its margin may reach past the area
    // or the page); what the layout finds to be pictures or rules is no line. Nothing on failure.
    virtual std::optional<std::vector<LineLayout>> layout(const GreyPage& page, const Rect& area) = 0;
    // The text of one piece read alone (empty when it reads as nothing); nothing on failure.
    virtual std::optional<PieceReading> read(const GreyPage& page, const Rect& piece) = 0;
};

}  // namespace linuxplatform
