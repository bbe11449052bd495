#pragma once
// Cheap fingerprints of captured frames: one per pixel row, and one for the whole frame.
#include <cstdint>
#include <vector>

#include "platform/ScreenCapture.h"

namespace linuxplatform::framehash {

// One 64-bit hash per row of the image; empty when the image does not hold its pixels.
std::vector<std::uint64_t> rows(const platform::Image& image);
// The whole image: its size and every pixel.
std::uint64_t frame(const platform::Image& image);

}  // namespace linuxplatform::framehash
