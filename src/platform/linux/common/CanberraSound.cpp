#include "platform/linux/common/CanberraSound.h"

#include <canberra.h>

namespace linuxplatform {

CanberraSound::CanberraSound() {
    if (ca_context_create(&context_) != CA_SUCCESS) context_ = nullptr;
    if (context_) ca_context_change_props(context_, CA_PROP_APPLICATION_NAME, "Wellspire Agent",
                                          CA_PROP_APPLICATION_ID, "com.wellspire.agent", nullptr);
}

CanberraSound::~CanberraSound() {
    if (context_) ca_context_destroy(context_);
}

std::string CanberraSound::eventFor(const std::string& name) {
    if (name == "Glass") return "message-new-instant";
    return "";
}

void CanberraSound::play(const std::string& name) {
    const std::string event = eventFor(name);
    if (event.empty()) return;
    std::lock_guard lock(mutex_);
    if (!context_) return;
    // Asynchronous; errors (no theme, no device) are silence.
    ca_context_play(context_, 0, CA_PROP_EVENT_ID, event.c_str(), CA_PROP_EVENT_DESCRIPTION, "Check-in", nullptr);
}

}  // namespace linuxplatform
