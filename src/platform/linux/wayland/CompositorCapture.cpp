#include "platform/linux/wayland/CompositorCapture.h"

#include "platform/linux/wayland/KWinAuthorization.h"
#include "platform/linux/wayland/KWinScreenCapture.h"
#include "platform/linux/wayland/WaylandLog.h"
#include "platform/linux/wayland/WlrScreenCapture.h"

namespace linuxplatform {

std::optional<CompositorCapture> compositorCapture(const std::string& desktop, std::shared_ptr<CompositorWindows> windows) {
    if (WlrScreenCapture::available())
        return CompositorCapture{std::make_shared<WlrScreenCapture>(std::move(windows)), "wlr-screencopy"};
    // Without the entry KWin refuses every call; the portal asks the user instead.
    if (desktop == "KDE" && KWinScreenCapture::available()) {
        if (KWinAuthorization::installed())
            return CompositorCapture{std::make_shared<KWinScreenCapture>(std::move(windows)), "kwin-screenshot"};
        waylandLog("CAPTURE kwin-screenshot not used: no installed desktop entry lets this program take screenshots");
    }
    return std::nullopt;
}

}  // namespace linuxplatform
