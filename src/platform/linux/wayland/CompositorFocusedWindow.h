#pragma once
// Where the user works on a Wayland session, for panels to appear on that output: the window the
// compositor says has focus. Through Xwayland the X11 active window names only X clients.
#include <memory>

#include "platform/linux/common/FocusedWindow.h"
#include "platform/linux/wayland/CompositorWindows.h"

namespace linuxplatform {

// The focused window's frame, or nothing (no window has focus, or its frame is empty), and then
// the panels go to the primary screen.
FocusedWindowQuery compositorFocusedWindow(std::shared_ptr<const CompositorWindows> windows);

}  // namespace linuxplatform
