#pragma once
// The last captured frame scaled to the size the reader asked for. A screen that did not change
// gives the same scaled image back, without scaling it again.
#include <cstdint>
#include <memory>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class ScaledFrameCache {
public:
    std::shared_ptr<const platform::Image> scaled(const platform::Image& source, int width, int height);
    std::uint64_t hits() const { return hits_; }

private:
    std::uint64_t hash_ = 0;
    int sourceWidth_ = 0, sourceHeight_ = 0, width_ = 0, height_ = 0;
    std::shared_ptr<const platform::Image> last_;
    std::uint64_t hits_ = 0;
};

}  // namespace linuxplatform
