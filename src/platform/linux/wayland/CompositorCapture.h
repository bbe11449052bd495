#pragma once
// The compositor's own screen capture, where it offers one the agent may use: wlr-screencopy on
// wlroots compositors (sway and its kin), KWin's screenshot interface on Plasma when an installed
// desktop entry authorizes the agent. Elsewhere (GNOME, or Plasma without the entry) nothing: the
// ScreenCast portal serves there.
#include <memory>
#include <optional>
#include <string>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class CompositorWindows;

struct CompositorCapture {
    std::shared_ptr<platform::ScreenCapture> capture;
    std::string name;  // for the session's log line: "wlr-screencopy" or "kwin-screenshot"
};

// `desktop`: XDG_CURRENT_DESKTOP's first entry, upper-cased. Asks the compositor and the session
// bus, and reads the desktop entries: blocks briefly, once, at start.
std::optional<CompositorCapture> compositorCapture(const std::string& desktop, std::shared_ptr<CompositorWindows> windows);

}  // namespace linuxplatform
