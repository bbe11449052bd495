#pragma once
// Area-weighted resampling of RGBA images: each output pixel is the average of the source area
// it covers, a box filter when shrinking and a soft enlargement when growing.
#include "platform/ScreenCapture.h"

namespace imagescaling {

// `source` resampled to width x height (both at least 1); an empty source gives black.
platform::Image resize(const platform::Image& source, int width, int height);

}  // namespace imagescaling
