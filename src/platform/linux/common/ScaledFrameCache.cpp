#include "platform/linux/common/ScaledFrameCache.h"

#include "platform/linux/common/FrameHash.h"
#include "platform/linux/common/ImageScaling.h"

namespace linuxplatform {

std::shared_ptr<const platform::Image> ScaledFrameCache::scaled(const platform::Image& source, int width, int height) {
    auto rows = framehash::rows(source);
    const bool sameShape = last_ && source.width == sourceWidth_ && source.height == sourceHeight_ && width == width_ &&
                           height == height_ && rows.size() == rows_.size() && !rows.empty();
    if (sameShape && rows == rows_) {
        ++hits_;
        return last_;
    }
    if (sameShape) {
        // Only the output rows that blend a changed source row are computed again.
        std::vector<bool> changed(rows.size());
        for (std::size_t y = 0; y < rows.size(); ++y) changed[y] = rows[y] != rows_[y];
        // The frame handed out last is written over when nobody holds it any more.
        auto next = last_.use_count() == 1 ? std::const_pointer_cast<platform::Image>(std::move(last_))
                                           : std::make_shared<platform::Image>(*last_);
        imagescaling::resizeRows(source, *next, &changed);
        last_ = std::move(next);
    } else {
        last_ = std::make_shared<platform::Image>(imagescaling::resize(source, width, height));
    }
    rows_ = std::move(rows);
    sourceWidth_ = source.width;
    sourceHeight_ = source.height;
    width_ = width;
    height_ = height;
    return last_;
}

std::shared_ptr<const platform::Image> ScaledFrameCache::again(int width, int height) {
    if (!last_ || width != width_ || height != height_) return nullptr;
    ++hits_;
    return last_;
}

}  // namespace linuxplatform
