#pragma once
// The last captured frame scaled to the size the reader asked for. A screen that did not change
// gives the same scaled image back, without scaling it again; of a screen that changed in part,
// only the rows that changed are scaled again.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class ScaledFrameCache {
public:
    std::shared_ptr<const platform::Image> scaled(const platform::Image& source, int width, int height);
    // The last frame again, for a source known not to have changed; nothing when it had another size.
    std::shared_ptr<const platform::Image> again(int width, int height);
    std::uint64_t hits() const { return hits_; }

private:
    std::vector<std::uint64_t> rows_;  // the last source's row hashes
    int sourceWidth_ = 0, sourceHeight_ = 0, width_ = 0, height_ = 0;
    std::shared_ptr<const platform::Image> last_;  // made writable, so that it can be written over
    std::uint64_t hits_ = 0;
};

}  // namespace linuxplatform
