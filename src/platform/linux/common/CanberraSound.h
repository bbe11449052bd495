#pragma once
#include <mutex>
#include <string>

struct ca_context;

namespace linuxplatform {

// Named system sounds through the freedesktop sound theme; a missing theme or no audio device
// means silence.
class CanberraSound {
public:
    CanberraSound();
    ~CanberraSound();
    CanberraSound(const CanberraSound&) = delete;
    CanberraSound& operator=(const CanberraSound&) = delete;
    void play(const std::string& name);
    // The theme event that stands for a named sound ("Glass" → "message-new-instant").
    static std::string eventFor(const std::string& name);

private:
    std::mutex mutex_;
    ca_context* context_ = nullptr;
};

}  // namespace linuxplatform
