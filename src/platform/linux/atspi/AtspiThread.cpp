#include "platform/linux/atspi/AtspiThread.h"

#include <atspi/atspi.h>


namespace linuxplatform {

std::shared_ptr<GMainThread> sharedAtspiThread() {
    // Kept for the life of the process: ending it would mean waiting for it, and it may be deep in
    // a slow application's answer when the user withdraws.
    static const auto thread = std::make_shared<GMainThread>(nullptr);
    return thread;
}

bool atspiConnected() {
    static const bool connected = atspi_init() <= 1;
    return connected;
}

}  // namespace linuxplatform
