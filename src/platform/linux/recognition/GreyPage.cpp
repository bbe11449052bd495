#include "platform/linux/recognition/GreyPage.h"

namespace linuxplatform {

GreyPage GreyPage::of(const platform::Image& image) {
    GreyPage page;
    if (image.width <= 0 || image.height <= 0 ||
        image.rgba.size() < static_cast<std::size_t>(image.width) * image.height * 4)
        return page;
    page.width = image.width;
    page.height = image.height;
    page.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    std::uint64_t sum = 0;
    const std::uint8_t* p = image.rgba.data();
    for (std::uint8_t& g : page.pixels) {
        g = static_cast<std::uint8_t>((299 * p[0] + 587 * p[1] + 114 * p[2] + 500) / 1000);
        sum += g;
        p += 4;
    }
    // The engine reads dark text on light ground first and retries every failed line inverted;
    // a mostly dark screen (a dark theme) is turned over once instead, which halves its cost.
    if (sum < 128ull * page.pixels.size()) {
        page.inverted = true;
        for (std::uint8_t& g : page.pixels) g = static_cast<std::uint8_t>(255 - g);
    }
    return page;
}

}  // namespace linuxplatform
