#pragma once
// Parts a page into regions separated by blank gaps, in reading order (a recursive XY cut): the
// widest gap decides whether a region is cut into rows (at every blank gap that tall) or into
// columns (at every blank gap that wide), until no gap is left. Blank means without anything that
// may be text: a window's scrollbar, toolbar or borders do not hold its paragraphs together. The
// parts depend on the page's pixels alone, so a paragraph that only moved is the same region with
// the same layout.
#include <vector>

#include "platform/linux/recognition/GreyPage.h"
#include "platform/linux/recognition/LineEngine.h"

namespace linuxplatform {

class PageRegions {
public:
    // Blank rows that part two regions: fewer would part an i from its dot, or lines of a paragraph.
    static constexpr int rowGap = 8;
    // Blank columns that part two regions: fewer would part the words of a line. Wider still where
    // the region's lines are tall (one and a half times their height), so large text stays whole.
    static constexpr int columnGap = 24;
    // A run of one grey at least this long across or down is furniture, not text: longer than the
    // stem of any letter a page shows, shorter than a scrollbar's track or a toolbar.
    static constexpr int furnitureRun = 128;
    // Blank pixels kept around each region, so that its lines are cut with the margin the engine expects.
    static constexpr int margin = 4;

    // The regions with something in them, each grown by `margin` within the page.
    static std::vector<Rect> of(const GreyPage& page);
};

}  // namespace linuxplatform
