#pragma once
// The agent's own windows on screen (the check-in panels), where the Qt layer shows them. Capture
// backends that see the whole display read this to leave the agent's own text out of a frame.
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

class OwnWindows {
public:
    static OwnWindows& shared();

    // The window `key` now covers `frame` (desktop pixels); main thread.
    void shown(std::uintptr_t key, DesktopRect frame);
    void hidden(std::uintptr_t key);
    // Any thread.
    std::vector<DesktopRect> frames() const;

private:
    mutable std::mutex mutex_;
    std::map<std::uintptr_t, DesktopRect> frames_;
};

}  // namespace linuxplatform
