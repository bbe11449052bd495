#pragma once
// Screen capture as the user allowed it: permitted only while the user agrees to screen-text
// reading and the desktop can be captured. Without that agreement every capture is refused before
// a pixel is read. The request shows the privacy window, or, once the user agreed, passes on to the
// desktop's own permission where it has one.
#include <functional>
#include <memory>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class Consent;

class ConsentScreenCapture final : public platform::ScreenCapture,
                                   public std::enable_shared_from_this<ConsentScreenCapture> {
public:
    ConsentScreenCapture(std::shared_ptr<Consent> consent, std::shared_ptr<platform::ScreenCapture> capture,
                         std::function<void()> showConsent);
    // Asks the capture to start once the user agrees (main thread, once, after construction).
    void followConsent();
    bool preflight() override;
    void request() override;
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) override;

    static constexpr const char* kRefused = "screen text reading is turned off in Wellspire Privacy";

private:
    std::shared_ptr<Consent> consent_;
    std::shared_ptr<platform::ScreenCapture> capture_;
    std::function<void()> showConsent_;
};

}  // namespace linuxplatform
