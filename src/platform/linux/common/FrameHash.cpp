#include "platform/linux/common/FrameHash.h"

#include <xxhash.h>

namespace linuxplatform::framehash {

namespace {

bool complete(const platform::Image& image) {
    return image.width > 0 && image.height > 0 &&
           image.rgba.size() >= static_cast<std::size_t>(image.width) * image.height * 4;
}

}  // namespace

std::vector<std::uint64_t> rows(const platform::Image& image) {
    std::vector<std::uint64_t> out;
    if (!complete(image)) return out;
    const std::size_t stride = static_cast<std::size_t>(image.width) * 4;
    out.reserve(static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y) out.push_back(XXH3_64bits(image.rgba.data() + y * stride, stride));
    return out;
}

std::uint64_t frame(const platform::Image& image) {
    if (!complete(image)) return 0;
    const std::uint64_t size = (static_cast<std::uint64_t>(image.width) << 32) | static_cast<std::uint32_t>(image.height);
    return XXH3_64bits_withSeed(image.rgba.data(), static_cast<std::size_t>(image.width) * image.height * 4, size);
}

}  // namespace linuxplatform::framehash
