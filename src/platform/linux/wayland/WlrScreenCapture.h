#pragma once
// Screen capture on wlroots compositors (sway and its kin) through wlr-screencopy: a display is an
// output, copied without the cursor, with the excluded windows and the agent's own panels painted
// black; a window is the region of its output it covers, when the compositor says where it is.
// Every call is served on a thread of its own and completes there, exactly once.
#include <memory>
#include <string>

#include "platform/ScreenCapture.h"
#include "platform/linux/wayland/FallbackScreenCapture.h"

namespace linuxplatform {

class CaptureWorker;
class CompositorWindows;

class WlrScreenCapture final : public platform::ScreenCapture, public CaptureRefusal {
public:
    // Whether the compositor at $WAYLAND_DISPLAY offers wlr-screencopy. Connects once; blocks briefly.
    static bool available();

    // `windows` may be null: then only the agent's own panels are listed. `display`: a socket name
    // or path, empty for $WAYLAND_DISPLAY.
    explicit WlrScreenCapture(std::shared_ptr<CompositorWindows> windows, std::string display = {});
    ~WlrScreenCapture() override;
    WlrScreenCapture(const WlrScreenCapture&) = delete;
    WlrScreenCapture& operator=(const WlrScreenCapture&) = delete;

    // The compositor's own capture asks nobody; screen consent is the consent wrapper's to check.
    bool preflight() override;
    void request() override {}
    // Once the compositor, reached, offers no wlr-screencopy; a compositor that does not answer may
    // come back, and is no refusal.
    std::optional<std::string> refusedForGood() const override;
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
    std::shared_ptr<CaptureWorker> worker_;
};

}  // namespace linuxplatform
