#pragma once
// How the words the engine read on one line are put back together, checked against the pixels.
// The English model reads most underscores in code as the space between two words ("Z STREAM
// ERROR" for Z_STREAM_ERROR), or puts a space beside one it read ("Z_ ERRNO"); in code it also puts
// spaces where there are none ("(void) inflateEnd(&strm) ;") and reads O as a zero (Z_0K).
// - An underscore shows as a short straight stroke below the baseline with no letter above it. Each
//   such stroke is matched with the nearest underscore or space of the reading: a space it falls
//   at becomes an underscore when letters stand close on both sides of it, and a space beside an
//   underscore goes when the letter beyond stands close to it. A line drawn under whole words (a
//   link) is no underscore.
// - A line in a fixed-width font is fitted to its cells, one letter to a cell ("fi" and "fl" may
//   share one): a space where no cell is empty goes, and a zero between letters whose cell is
//   hollow is an O where the font is shown to draw a dot or a slash in its zero (on the same line,
//   or elsewhere in the same frame in the same cells), or where its zero is plain and the letter is
//   drawn as wide as the frame's Os in that font and as no zero of it. A reading that does not fit
//   the cells is left as it is.
#include <string>
#include <vector>

#include "platform/linux/recognition/GreyPage.h"
#include "platform/linux/recognition/LineEngine.h"

namespace linuxplatform::wordgaps {

struct Letter {
    std::string text;
    int left = 0;  // where the engine places it on the page (near, not exact)
};

using Word = std::vector<Letter>;

struct Line {
    Rect box;              // the line on the page
    double charWidth = 0;  // a typical letter's width on this line
    std::vector<Word> words;
};

// The line's text: its words with a space between two, or an underscore, or nothing; with what its
// cells say of its zeros when it is set in a fixed-width font.
PieceReading read(const GreyPage& page, const Line& line);
std::string text(const GreyPage& page, const Line& line);

// The pieces of one frame: a hollow zero (where an O may stand) whose own line showed nothing of
// its font's zero is an O where another piece shows a marked zero in a font of the same cells and
// height, or shows that font's O drawn as wide as it and no zero so. Only the frame's own pieces
// count, so a frame's text never depends on another frame.
void settleZeros(std::vector<PieceReading*>& pieces);

}  // namespace linuxplatform::wordgaps
