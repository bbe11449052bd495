#pragma once
// How a line of the page is handed to the engine. A piece is read from an image of its own: the
// rows of its line as they are on the page, and the ground of the piece everywhere else (the margin
// above and below the line, and whatever lies beyond the page). What a neighbouring line pushes into
// the margin, or where the frame's edge falls, then makes no other image of the same line: a line
// that only moved is the same image wherever it is.
#include <cstdint>
#include <optional>

#include "platform/linux/recognition/GreyPage.h"
#include "platform/linux/recognition/LineEngine.h"

namespace linuxplatform::linepieces {

// The grey most common on the edge of a piece (the part of it on the page).
std::uint8_t groundOf(const GreyPage& page, const Rect& piece);

// The rows of the line with this box that are its own, within the page: the box as the engine
// gives it may reach into a bar beside the line (a title bar or a toolbar just under or over it;
// the box is grown to where descenders would end), and those rows are none of the line's.
Rect own(const GreyPage& page, const Rect& box);

// Whether the line whose own rows are these is cut by the edge of the frame or by what covers the
// page there (a toolbar over a scrolled page): its letters run into the edge. What shows of a line
// cut through its letters reads as a guess, and differently at every step of a scroll; it is read
// once it shows whole. A whole line beside a bar, or at the frame's edge, is not cut.
bool cut(const GreyPage& page, const Rect& own);

// A line that reads as cut where the frame's top or bottom edge shows, past a clear row, a band
// lower than `lowest` (the tips of the next line's letters, or the last of the previous line's
// descenders, which the layout took into this line): its own rows without that band. Nothing
// otherwise.
std::optional<Rect> withoutTips(const GreyPage& page, const Rect& own, int lowest);

// The image the engine reads for one piece of the line with this box.
GreyPage image(const GreyPage& page, const Rect& piece, const Rect& box);

}  // namespace linuxplatform::linepieces
