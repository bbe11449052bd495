#pragma once
// The one thread of the process that talks to libatspi. The library is single-threaded and keeps
// process-wide state (its D-Bus connections are served on one main context), so the focused-text
// reader and the Wayland workspace share this thread instead of each running their own.
#include <memory>

#include "platform/linux/atspi/GMainThread.h"

namespace linuxplatform {

// The running thread, started at the first call; it lives as long as the process.
std::shared_ptr<GMainThread> sharedAtspiThread();

// Connects libatspi once; whether that reached an accessibility bus. Without one every later call
// of the library would abort, and a second atspi_init() only says "already done". On that thread.
bool atspiConnected();

}  // namespace linuxplatform
