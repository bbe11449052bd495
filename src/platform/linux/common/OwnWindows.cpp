#include "platform/linux/common/OwnWindows.h"

namespace linuxplatform {

OwnWindows& OwnWindows::shared() {
    static OwnWindows windows;
    return windows;
}

void OwnWindows::shown(std::uintptr_t key, DesktopRect frame) {
    std::lock_guard lock(mutex_);
    frames_[key] = frame;
}

void OwnWindows::hidden(std::uintptr_t key) {
    std::lock_guard lock(mutex_);
    frames_.erase(key);
}

std::vector<DesktopRect> OwnWindows::frames() const {
    std::lock_guard lock(mutex_);
    std::vector<DesktopRect> out;
    for (const auto& [key, frame] : frames_) out.push_back(frame);
    return out;
}

}  // namespace linuxplatform
