#include "platform/linux/Session.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/common/CaptureStanding.h"
#include "platform/linux/common/UnavailableScreenCapture.h"
#ifdef WS_SESSION_X11
#include "platform/linux/x11/X11DisplayLoss.h"
#include "platform/linux/x11/X11FocusedWindow.h"
#include "platform/linux/x11/X11PanelPlacement.h"
#include "platform/linux/x11/X11ScreenCapture.h"
#include "platform/linux/x11/X11ScreenSaverWatch.h"
#include "platform/linux/x11/X11Workspace.h"
#endif
#ifdef WS_SESSION_WAYLAND
#include "platform/linux/wayland/CompositorCapture.h"
#include "platform/linux/wayland/CompositorFocusedWindow.h"
#include "platform/linux/wayland/FallbackScreenCapture.h"
#include "platform/linux/wayland/PortalScreenCapture.h"
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

std::string Session::qtPlatform() const {
    if (platform_.empty()) {
        platform_ = info_.wayland() ? "wayland" : "xcb";
#ifdef WS_SESSION_X11
        // On a Wayland session only an X server that answers (GNOME starts Xwayland at the first
        // X client) is worth it; a stale $DISPLAY leaves Qt on Wayland.
        if (info_.wayland() && info_.hasX11Display() && linuxplatform::displayReachable()) platform_ = "xcb";
#endif
    }
    return platform_;
}

bool Session::displayReachable() const {
    if (qtPlatform() == "wayland") {
#ifdef WS_SESSION_WAYLAND
        if (!WaylandGlobals::query().empty()) return true;
#endif
        std::fprintf(stderr, "wellspire-agent: cannot reach the Wayland compositor %s\n",
                     info_.waylandDisplay().empty() ? "($WAYLAND_DISPLAY is not set)" : info_.waylandDisplay().c_str());
        return false;
    }
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

SessionBackends Session::backends(const std::shared_ptr<Consent>& consent) const {
    SessionBackends b = info_.wayland() ? waylandBackends(consent) : x11Backends();
#ifdef WS_SESSION_X11
    if (qtPlatform() == "xcb") {
        b.panelPlacement = std::make_shared<X11PanelPlacement>(info_.wayland()
                                                                   ? X11PanelPlacement::Manager::WaylandCompositor
                                                                   : X11PanelPlacement::Manager::X11WindowManager);
        b.description += info_.wayland() ? " panels=xwayland-override-redirect" : " panels=ewmh";
    }
#endif
    if (!b.panelPlacement)
        b.description += " panels=plain (no Xwayland: the compositor places them and may give them focus)";
    return b;
}

std::shared_ptr<void> Session::watchScreenSaver(std::function<void(bool on)> changed) const {
#ifdef WS_SESSION_X11
    // Xwayland's saver follows only X clients' input: on a Wayland session it would come on while
    // the user types in native windows.
    if (!info_.wayland()) {
        auto watch = std::make_shared<X11ScreenSaverWatch>(std::move(changed));
        if (watch->available()) return watch;
    }
#else
    (void)changed;
#endif
    return nullptr;
}

SessionBackends Session::x11Backends() const {
    SessionBackends b;
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

SessionBackends Session::waylandBackends(const std::shared_ptr<Consent>& consent) const {
#ifdef WS_SESSION_WAYLAND
    SessionBackends b;
    b.description = "session=wayland desktop=" + (info_.desktop().empty() ? std::string("unknown") : info_.desktop());
    // What the compositor tells of its windows, and the workspace around it (keys always from AT-SPI).
    auto workspace = chooseWaylandWorkspace(consent);
    b.workspace = workspace.workspace;
    b.windowsTold = workspace.windows != nullptr;
    b.description += " workspace=" + workspace.description;
    // Capture, in one fallback order: the compositor's own where it lets us, else the portal, which
    // also takes over at run time from a compositor that refuses. The portal is made only then.
    std::vector<FallbackScreenCapture::Backend> order;
    if (auto native = compositorCapture(info_.desktop(), workspace.windows))
        order.push_back({native->name, [capture = native->capture]() mutable { return std::move(capture); }});
    if (PortalScreenCapture::available()) {
        b.captureStanding = std::make_shared<CaptureStanding>();
        order.push_back({"portal+pipewire", [consent, windows = workspace.windows, standing = b.captureStanding] {
                             return std::make_shared<PortalScreenCapture>(consent, windows, standing);
                         }});
    }
    if (order.empty()) {
        b.capture = std::make_shared<UnavailableScreenCapture>(
            "this Wayland session offers no screen capture the agent can use");
        b.description += " capture=none";
    } else {
        b.description += " capture=" + order.front().name + (order.size() > 1 ? " then " + order.back().name : "");
        b.capture = std::make_shared<FallbackScreenCapture>(std::move(order));
    }
    // Panels go to the output of the window the compositor says has focus; where it says nothing,
    // to that of the X client Xwayland has active, or to the primary screen.
    if (workspace.windows)
        b.focusedWindow = compositorFocusedWindow(workspace.windows);
#ifdef WS_SESSION_X11
    else if (qtPlatform() == "xcb")
        b.focusedWindow = x11FocusedWindowFrame;
#endif
    return b;
#else
    (void)consent;
    return x11Backends();
#endif
}

}  // namespace linuxplatform
