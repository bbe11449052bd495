#include "platform/linux/Session.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#ifdef WS_SESSION_X11
#include "platform/linux/x11/X11DisplayLoss.h"
#include "platform/linux/x11/X11FocusedWindow.h"
#include "platform/linux/x11/X11ScreenCapture.h"
#include "platform/linux/x11/X11Workspace.h"
#endif
#ifdef WS_SESSION_WAYLAND
#include "platform/linux/wayland/WaylandGlobals.h"
#include "platform/linux/wayland/WaylandWorkspaceChoice.h"
#endif

namespace linuxplatform {
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

SessionInfo SessionInfo::fromEnvironment() {
    const std::string type = env("XDG_SESSION_TYPE");
    const std::string waylandDisplay = env("WAYLAND_DISPLAY");
    // A session says what it is; without a word, a Wayland socket decides.
    const bool wayland = type == "wayland" || (type != "x11" && !waylandDisplay.empty());
    std::string desktop = env("XDG_CURRENT_DESKTOP");
    desktop = desktop.substr(0, desktop.find(':'));
    for (auto& c : desktop) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return SessionInfo(wayland, desktop, env("DISPLAY"), waylandDisplay);
}

bool Session::displayReachable() const {
#ifdef WS_SESSION_X11
    if (linuxplatform::displayReachable()) return true;
#endif
    std::fprintf(stderr, "wellspire-agent: cannot open the X display %s\n",
                 info_.hasX11Display() ? info_.x11Display().c_str() : "($DISPLAY is not set)");
    return false;
}

void Session::leaveWhenDisplayIsLost(std::function<void()> leave) const {
#ifdef WS_SESSION_X11
    linuxplatform::leaveWhenDisplayIsLost(std::move(leave));
#else
    (void)leave;
#endif
}

SessionBackends Session::backends() const {
    SessionBackends b;
#ifdef WS_SESSION_X11
    b.capture = std::make_shared<X11ScreenCapture>();
    b.workspace = std::make_shared<X11Workspace>();
    b.focusedWindow = x11FocusedWindowFrame;
    b.description = "session=x11 capture=xcomposite workspace=ewmh+xinput2";
#endif
#ifdef WS_SESSION_WAYLAND
    // The workspace of a Wayland session: X11 sees only Xwayland's clients there.
    if (info_.wayland()) {
        auto workspace = chooseWaylandWorkspace();
        b.workspace = workspace.workspace;
        if (workspace.focusedWindow) b.focusedWindow = workspace.focusedWindow;
        b.description += " wayland-workspace=" + workspace.description;
    }
#endif
    return b;
}

}  // namespace linuxplatform
