#include "platform/linux/wayland/WaylandWorkspaceChoice.h"

#include "platform/linux/wayland/AtspiWorkspace.h"
#include "platform/linux/wayland/KWinScriptWatcher.h"
#include "platform/linux/wayland/SwayIpcWatcher.h"

namespace linuxplatform {

WaylandWorkspaceChoice chooseWaylandWorkspace(const std::shared_ptr<Consent>& consent) {
    WaylandWorkspaceChoice choice;
    if (SwayIpcWatcher::available()) {
        auto sway = std::make_shared<SwayIpcWatcher>();
        choice.workspace = std::make_shared<AtspiWorkspace>(sway, consent);
        choice.windows = sway;
        choice.focusedWindow = sway->focusedWindowQuery();
        choice.description = "sway-ipc+atspi";
    } else if (KWinScriptWatcher::available()) {
        auto kwin = std::make_shared<KWinScriptWatcher>();
        choice.workspace = std::make_shared<AtspiWorkspace>(kwin, consent);
        choice.windows = kwin;
        choice.focusedWindow = kwin->focusedWindowQuery();
        choice.description = "kwin-script+atspi";
    } else {
        choice.workspace = std::make_shared<AtspiWorkspace>(nullptr, consent);
        choice.description = "atspi";
    }
    return choice;
}

}  // namespace linuxplatform
