#include "platform/linux/recognition/GreyPage.h"

namespace linuxplatform {

namespace {

// The wider vector units are chosen when the program is loaded, before a sanitizer's runtime is up,
// so sanitized builds keep to the one version.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WS_VECTOR_CLONES
#else
#define WS_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// Luma with weights in 256ths, built for the wider vector units too where the processor has them.
WS_VECTOR_CLONES std::uint32_t greyRow(const std::uint8_t* rgba, std::uint8_t* row, int width) {
    std::uint32_t sum = 0;
    for (int x = 0; x < width; ++x, rgba += 4) {
        const auto g = static_cast<std::uint8_t>((77 * rgba[0] + 150 * rgba[1] + 29 * rgba[2] + 128) >> 8);
        row[x] = g;
        sum += g;
    }
    return sum;
}

}  // namespace

GreyPage GreyPage::of(const platform::Image& image) {
    GreyPage page;
    if (image.width <= 0 || image.height <= 0 ||
        image.rgba.size() < static_cast<std::size_t>(image.width) * image.height * 4)
        return page;
    page.width = image.width;
    page.height = image.height;
    page.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    std::uint64_t sum = 0;
    for (int y = 0; y < image.height; ++y)
        sum += greyRow(image.rgba.data() + static_cast<std::size_t>(y) * image.width * 4,
                       page.pixels.data() + static_cast<std::size_t>(y) * image.width, image.width);
    // The engine reads dark text on light ground first and retries every failed line inverted;
    // a mostly dark screen (a dark theme) is turned over once instead, which halves its cost.
    if (sum < 128ull * page.pixels.size()) {
        page.inverted = true;
        for (std::uint8_t& g : page.pixels) g = static_cast<std::uint8_t>(255 - g);
    }
    return page;
}

}  // namespace linuxplatform
