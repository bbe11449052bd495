#pragma once
// The grey page text recognition works on, dark text on light ground.
#include <cstdint>
#include <vector>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

struct GreyPage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // one byte per pixel, rows top first
    bool inverted = false;             // the source was mostly dark and was turned over

    // Nothing-sized when the image does not hold its declared pixels.
    static GreyPage of(const platform::Image& image);
};

}  // namespace linuxplatform
