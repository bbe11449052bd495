#pragma once
// Which workspace a Wayland session gets, in one fallback order: sway's IPC where a sway answers,
// a KWin script where KWin is on the bus, and AT-SPI alone elsewhere (GNOME tells no window).
// AT-SPI gives the key-downs in every case.
#include <memory>
#include <string>

#include "platform/Workspace.h"
#include "platform/linux/common/FocusedWindow.h"
#include "platform/linux/wayland/CompositorWindows.h"

namespace linuxplatform {

struct WaylandWorkspaceChoice {
    std::shared_ptr<platform::Workspace> workspace;
    // What the compositor tells of its windows; nothing where it tells nothing.
    std::shared_ptr<CompositorWindows> windows;
    // Empty where the compositor tells no window's place.
    FocusedWindowQuery focusedWindow;
    std::string description;  // "sway-ipc+atspi", "kwin-script+atspi" or "atspi"
};

class Consent;

// Main thread, with the QApplication up. AT-SPI is listened to only while `consent` allows.
WaylandWorkspaceChoice chooseWaylandWorkspace(const std::shared_ptr<Consent>& consent);

}  // namespace linuxplatform
