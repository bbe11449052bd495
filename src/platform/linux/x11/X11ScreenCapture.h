#pragma once
// Screen capture on an X11 session. Top-level windows are redirected (automatically, so the
// server still paints the screen) to give every window its own pixmap: a window is captured
// from its own content whatever lies above it, and a display is composed from those pixmaps in
// stacking order over black, with the excluded windows left out.
#include <memory>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class X11ScreenCapture final : public platform::ScreenCapture {
public:
    X11ScreenCapture();
    ~X11ScreenCapture() override;
    X11ScreenCapture(const X11ScreenCapture&) = delete;
    X11ScreenCapture& operator=(const X11ScreenCapture&) = delete;

    bool preflight() override;
    // X has no capture permission to ask for.
    void request() override {}
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxplatform
