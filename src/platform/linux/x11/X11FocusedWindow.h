#pragma once
#include <optional>

#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

// The active window of an EWMH window manager (_NET_ACTIVE_WINDOW) and its place on the root
// window; nothing without an X display or an active window. Main thread only.
std::optional<DesktopRect> x11FocusedWindowFrame();

}  // namespace linuxplatform
