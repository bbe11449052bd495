#pragma once
// The one place that knows which desktop session the agent runs in and picks the backends of the
// facilities that depend on it. The environment is read once; everything else asks this.
#include <functional>
#include <memory>
#include <string>

#include "platform/ScreenCapture.h"
#include "platform/Workspace.h"
#include "platform/linux/common/FocusedWindow.h"
#include "platform/linux/common/PanelPlacement.h"

namespace linuxplatform {

class CaptureStanding;
class Consent;

// What the environment says about the session, read once at start.
class SessionInfo {
public:
    static SessionInfo fromEnvironment();

    bool wayland() const { return wayland_; }
    // XDG_CURRENT_DESKTOP's first entry, upper-cased ("GNOME", "KDE", "SWAY"), or empty.
    const std::string& desktop() const { return desktop_; }
    bool hasX11Display() const { return !x11Display_.empty(); }
    const std::string& x11Display() const { return x11Display_; }
    const std::string& waylandDisplay() const { return waylandDisplay_; }

    SessionInfo(bool wayland, std::string desktop, std::string x11Display, std::string waylandDisplay)
        : wayland_(wayland), desktop_(std::move(desktop)), x11Display_(std::move(x11Display)),
          waylandDisplay_(std::move(waylandDisplay)) {}

private:
    bool wayland_ = false;
    std::string desktop_, x11Display_, waylandDisplay_;
};

// The session-dependent facilities, as the agent wires them.
struct SessionBackends {
    std::shared_ptr<platform::ScreenCapture> capture;
    std::shared_ptr<platform::Workspace> workspace;
    FocusedWindowQuery focusedWindow;
    // How check-in panels stay at the top right, above other windows, without taking focus;
    // nothing where the session offers no way (then they are plain windows).
    std::shared_ptr<PanelPlacement> panelPlacement;
    // Where a screen sharing that the desktop grants stands (the portal's); nothing where capture
    // needs no grant.
    std::shared_ptr<CaptureStanding> captureStanding;
    // Whether the desktop says where every window is (X11, sway, KWin); GNOME does not.
    bool windowsTold = true;
    // One line for the log: which backend serves which facility.
    std::string description;
};

class Session {
public:
    explicit Session(SessionInfo info) : info_(std::move(info)) {}

    const SessionInfo& info() const { return info_; }

    // The Qt platform plugin the agent's windows use, decided before the QApplication exists.
    // Wherever an X server answers (Xwayland included) it is "xcb": a Wayland compositor lets no
    // ordinary window place itself or stay out of the focus, but shows an override-redirect X11
    // window where it asks and leaves the focus alone. Without Xwayland, "wayland".
    std::string qtPlatform() const;
    // Whether the agent can open its windows at all; says why on stderr when not.
    bool displayReachable() const;
    // Every way of losing the display ends in `leave`, once, then in exit status 0.
    void leaveWhenDisplayIsLost(std::function<void()> leave) const;
    // Builds the backends; after the QApplication exists, on the main thread.
    SessionBackends backends(const std::shared_ptr<Consent>& consent) const;
    // Follows the display server's own screen saver where the session has one (an X11 session):
    // `changed` runs on the main thread at each change. The watch lasts as long as what is returned.
    std::shared_ptr<void> watchScreenSaver(std::function<void(bool on)> changed) const;

private:
    SessionBackends x11Backends() const;
    SessionBackends waylandBackends(const std::shared_ptr<Consent>& consent) const;

    SessionInfo info_;
    mutable std::string platform_;  // decided at the first question
};

}  // namespace linuxplatform
