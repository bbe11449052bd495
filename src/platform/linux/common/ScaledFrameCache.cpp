#include "platform/linux/common/ScaledFrameCache.h"

#include "platform/linux/common/FrameHash.h"
#include "platform/linux/common/ImageScaling.h"

namespace linuxplatform {

std::shared_ptr<const platform::Image> ScaledFrameCache::scaled(const platform::Image& source, int width, int height) {
    const std::uint64_t hash = framehash::frame(source);
    if (last_ && hash == hash_ && source.width == sourceWidth_ && source.height == sourceHeight_ && width == width_ &&
        height == height_) {
        ++hits_;
        return last_;
    }
    last_ = std::make_shared<const platform::Image>(imagescaling::resize(source, width, height));
    hash_ = hash;
    sourceWidth_ = source.width;
    sourceHeight_ = source.height;
    width_ = width;
    height_ = height;
    return last_;
}

}  // namespace linuxplatform
