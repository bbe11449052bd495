#pragma once
// Screen capture as the user allowed it: permitted only while the user agrees to screen-text
// reading and the desktop can be captured. Without that agreement every capture is refused before
// a pixel is read. The request shows the privacy window, or, once the user agreed, passes on to the
// desktop's own permission where it has one.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class Consent;
class SessionLock;
class PlacesNeverRead;

class ConsentScreenCapture final : public platform::ScreenCapture,
                                   public std::enable_shared_from_this<ConsentScreenCapture> {
public:
    ConsentScreenCapture(std::shared_ptr<Consent> consent, std::shared_ptr<platform::ScreenCapture> capture,
                         std::function<void()> showConsent);
    // Asks the capture to start once the user agrees (main thread, once, after construction).
    void followConsent();
    // While the session is locked nothing is captured, as if the agreement were withdrawn; a capture
    // that must be started starts on unlock. Main thread, once, before the first capture.
    void setSessionLock(std::shared_ptr<SessionLock> lock);
    bool preflight() override;
    void request() override;
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) override;

    // The places never read: their windows are refused alone and blank in a display. Before the first capture.
    void setPlacesNeverRead(std::shared_ptr<PlacesNeverRead> places) { places_ = std::move(places); }
    // The desktop does not say where other applications' windows are (GNOME): no display is captured
    // while a place never read is open, since its windows could not be left out. Before the first capture.
    void setWindowsUntold() { windowsUntold_ = true; }

    static constexpr const char* kRefused = "screen text reading is turned off in Wellspire Privacy";
    static constexpr const char* kLocked = "the session is locked";
    static constexpr const char* kNeverRead = "this window is never read, as chosen in Wellspire Privacy";
    static constexpr const char* kNeverReadOpen =
        "an application never read is open, and this desktop does not say where its windows are";

private:
    std::shared_ptr<Consent> consent_;
    std::shared_ptr<platform::ScreenCapture> capture_;
    std::function<void()> showConsent_;
    std::shared_ptr<SessionLock> lock_;
    bool locked() const;
    std::shared_ptr<PlacesNeverRead> places_;
    bool windowsUntold_ = false;
    // Where windows are untold: a place never read is open, or was a moment ago.
    bool neverReadOpen();
    static constexpr std::chrono::seconds kNeverReadGone{3};
    std::atomic<std::chrono::steady_clock::rep> neverReadSeenAt_{0};
    // The windows as the cycle's own listing found them a moment ago, else as listed now.
    void windowsNow(std::function<void(platform::ContentResult)> then);
    static constexpr std::chrono::seconds kListingFresh{1};
    std::mutex listingMutex_;
    std::optional<platform::ShareableContent> listing_;
    std::chrono::steady_clock::time_point listedAt_;
};

}  // namespace linuxplatform
