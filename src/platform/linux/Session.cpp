#include "platform/linux/Session.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/common/UnavailableScreenCapture.h"
#ifdef WS_SESSION_X11
#include "platform/linux/x11/X11DisplayLoss.h"
#include "platform/linux/x11/X11FocusedWindow.h"
#include "platform/linux/x11/X11ScreenCapture.h"
#include "platform/linux/x11/X11Workspace.h"
#endif
#ifdef WS_SESSION_WAYLAND
#include "platform/linux/wayland/WaylandGlobals.h"
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
#ifdef WS_SESSION_WAYLAND
    if (info_.wayland()) return waylandBackends();
#endif
#ifdef WS_SESSION_X11
    b.capture = std::make_shared<X11ScreenCapture>();
    b.workspace = std::make_shared<X11Workspace>();
    b.focusedWindow = x11FocusedWindowFrame;
    b.description = "session=x11 capture=xcomposite workspace=ewmh+xinput2";
#else
    b.capture = std::make_shared<UnavailableScreenCapture>("this agent was built without X11 support");
    b.description = "session=x11 capture=none (not built)";
#endif
    return b;
}

#ifdef WS_SESSION_WAYLAND
SessionBackends Session::waylandBackends() const {
    SessionBackends b;
    const auto globals = WaylandGlobals::query();
    b.description = "session=wayland desktop=" + (info_.desktop().empty() ? std::string("unknown") : info_.desktop());
    b.capture = std::make_shared<UnavailableScreenCapture>("this Wayland session offers no screen capture the agent can use");
    b.description += " capture=none";
#ifdef WS_SESSION_X11
    // Through Xwayland the agent sees only the X clients: better than nothing until AT-SPI tells more.
    b.workspace = std::make_shared<X11Workspace>();
    b.focusedWindow = x11FocusedWindowFrame;
    b.description += " workspace=xwayland";
#endif
    (void)globals;
    return b;
}
#endif

}  // namespace linuxplatform
