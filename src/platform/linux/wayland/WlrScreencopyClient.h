#pragma once
// One connection of our own to the compositor (Qt may run on Xwayland) that copies outputs
// through wlr-screencopy into shared memory. Every wait is bounded, so a compositor that stops
// answering gives an error rather than a capture that never completes. One thread at a time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

struct WaylandOutput {
    std::uint32_t name = 0;  // the global's name, stable while the output is connected
    DesktopRect logical;     // place and size in the layout
};

class WlrScreencopyClient {
public:
    // `display`: a socket name or path; empty for $WAYLAND_DISPLAY.
    explicit WlrScreencopyClient(std::string display = {});
    ~WlrScreencopyClient();
    WlrScreencopyClient(const WlrScreencopyClient&) = delete;
    WlrScreencopyClient& operator=(const WlrScreencopyClient&) = delete;

    using Outputs = std::variant<std::vector<WaylandOutput>, std::string>;
    using Frame = std::variant<platform::Image, std::string>;

    // The outputs as they are now (connecting first when needed), or why not. Works on any
    // compositor, with wlr-screencopy or without.
    Outputs outputs();
    // All of an output, or `region` of it in its own logical coordinates, without the cursor,
    // at the output's pixel density.
    Frame capture(std::uint32_t output, std::optional<DesktopRect> region = std::nullopt);
    // Whether the compositor, when last asked, offered wlr-screencopy.
    bool usable() const;
    // Why the compositor we are connected to lets nothing be copied (it never offered wlr-screencopy,
    // or withdrew it); nothing while it does, or while it cannot be reached (that may pass).
    std::optional<std::string> refusal() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxplatform
