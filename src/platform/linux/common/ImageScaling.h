#pragma once
// Area-weighted resampling of RGBA images: each output pixel is the average of the source area
// it covers, a box filter when shrinking and a soft enlargement when growing.
#include <vector>

#include "platform/ScreenCapture.h"

namespace imagescaling {

// `source` resampled to width x height (both at least 1); an empty source gives black.
platform::Image resize(const platform::Image& source, int width, int height);
// Resamples `source` into `out` (already sized), computing only the output rows that blend a
// source row marked in `changed` (every row when it is null); the others keep what `out` holds.
void resizeRows(const platform::Image& source, platform::Image& out, const std::vector<bool>* changed);

}  // namespace imagescaling
