#include "platform/linux/consent/ConsentScreenCapture.h"

#include "platform/linux/consent/Consent.h"

namespace linuxplatform {

ConsentScreenCapture::ConsentScreenCapture(std::shared_ptr<Consent> consent,
                                           std::shared_ptr<platform::ScreenCapture> capture,
                                           std::function<void()> showConsent)
    : consent_(std::move(consent)), capture_(std::move(capture)), showConsent_(std::move(showConsent)) {}

void ConsentScreenCapture::followConsent() {
    // A capture that must be started (a portal session) starts when the user agrees, not before.
    std::weak_ptr<ConsentScreenCapture> weak = shared_from_this();
    consent_->onChange([weak, agreed = consent_->screenText()]() mutable {
        auto self = weak.lock();
        if (!self) return;
        const bool now = self->consent_->screenText();
        if (now && !agreed) self->capture_->request();
        agreed = now;
    });
}

bool ConsentScreenCapture::preflight() { return consent_->screenText() && capture_->preflight(); }

void ConsentScreenCapture::request() {
    // With the user's agreement the desktop may still have its own question (the portal's dialog).
    if (consent_->screenText())
        capture_->request();
    else if (showConsent_)
        showConsent_();
}

void ConsentScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    if (!consent_->screenText()) return completion(platform::CaptureError{kRefused});
    capture_->shareableContent(std::move(completion));
}

void ConsentScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                         std::function<void(platform::CaptureResult)> completion) {
    if (!consent_->screenText()) return completion(platform::CaptureError{kRefused});
    capture_->captureWindow(window, pixelWidth, pixelHeight, std::move(completion));
}

void ConsentScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                          const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                          int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    if (!consent_->screenText()) return completion(platform::CaptureError{kRefused});
    capture_->captureDisplay(display, excluding, pixelWidth, pixelHeight, std::move(completion));
}

}  // namespace linuxplatform
