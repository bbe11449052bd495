#include "platform/linux/common/AtspiThread.h"

#include <atspi/atspi.h>

#include <mutex>

namespace linuxplatform {

std::shared_ptr<GMainThread> sharedAtspiThread() {
    static std::mutex mutex;
    static std::weak_ptr<GMainThread> running;
    std::lock_guard lock(mutex);
    auto thread = running.lock();
    if (!thread) {
        thread = std::make_shared<GMainThread>(nullptr);
        running = thread;
    }
    return thread;
}

bool atspiConnected() {
    static const bool connected = atspi_init() <= 1;
    return connected;
}

}  // namespace linuxplatform
