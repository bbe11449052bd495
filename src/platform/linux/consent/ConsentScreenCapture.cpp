#include "platform/linux/consent/ConsentScreenCapture.h"

#include <mutex>

#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/SessionLock.h"
#include "platform/linux/consent/PlacesNeverRead.h"

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

void ConsentScreenCapture::setSessionLock(std::shared_ptr<SessionLock> lock) {
    lock_ = std::move(lock);
    std::weak_ptr<ConsentScreenCapture> weak = shared_from_this();
    lock_->onChange([weak] {
        auto self = weak.lock();
        // A launch on a locked screen asked nothing of the desktop: it is asked now.
        if (self && !self->locked() && self->consent_->screenText() && !self->capture_->preflight())
            self->capture_->request();
    });
}

bool ConsentScreenCapture::locked() const { return lock_ && lock_->locked(); }

bool ConsentScreenCapture::preflight() { return consent_->screenText() && !locked() && capture_->preflight(); }

void ConsentScreenCapture::request() {
    // Nobody is there to answer while the session is locked.
    if (locked()) return;
    // With the user's agreement the desktop may still have its own question (the portal's dialog).
    if (consent_->screenText())
        capture_->request();
    else if (showConsent_)
        showConsent_();
}

void ConsentScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    if (!consent_->screenText()) return completion(platform::CaptureError{kRefused});
    if (locked()) return completion(platform::CaptureError{kLocked});
    if (!places_) return capture_->shareableContent(std::move(completion));
    // Kept for the capture that follows it in the same cycle, which need not list the windows again.
    std::weak_ptr<ConsentScreenCapture> weak = shared_from_this();
    capture_->shareableContent([weak, completion = std::move(completion)](platform::ContentResult content) {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->listingMutex_);
            self->listing_ = std::get_if<platform::ShareableContent>(&content)
                                 ? std::make_optional(std::get<platform::ShareableContent>(content))
                                 : std::nullopt;
            self->listedAt_ = std::chrono::steady_clock::now();
        }
        completion(std::move(content));
    });
}

void ConsentScreenCapture::windowsNow(std::function<void(platform::ContentResult)> then) {
    {
        std::lock_guard lock(listingMutex_);
        if (listing_ && std::chrono::steady_clock::now() - listedAt_ < kListingFresh) {
            platform::ContentResult content = *listing_;
            listing_.reset();  // one capture per listing
            return then(std::move(content));
        }
    }
    capture_->shareableContent(std::move(then));
}

void ConsentScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                         std::function<void(platform::CaptureResult)> completion) {
    if (!consent_->screenText()) return completion(platform::CaptureError{kRefused});
    if (locked()) return completion(platform::CaptureError{kLocked});
    if (!places_) return capture_->captureWindow(window, pixelWidth, pixelHeight, std::move(completion));
    // The window as it is now: its title may have changed since it was listed.
    windowsNow([self = shared_from_this(), window, pixelWidth, pixelHeight,
                                completion = std::move(completion)](platform::ContentResult content) mutable {
        platform::ShareableWindow now = window;
        if (const auto* listed = std::get_if<platform::ShareableContent>(&content))
            for (const auto& w : listed->windows)
                if (w.id == window.id) now = w;
        if (self->places_->excluded(now.ownerPid.value_or(0), now.appClass, now.title) ||
            self->places_->excluded(window.ownerPid.value_or(0), window.appClass, window.title))
            return completion(platform::CaptureError{kNeverRead});
        if (!self->consent_->screenText()) return completion(platform::CaptureError{kRefused});
        if (self->locked()) return completion(platform::CaptureError{kLocked});
        self->capture_->captureWindow(window, pixelWidth, pixelHeight, std::move(completion));
    });
}

void ConsentScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                          const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                          int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    if (!consent_->screenText()) return completion(platform::CaptureError{kRefused});
    if (locked()) return completion(platform::CaptureError{kLocked});
    if (!places_) return capture_->captureDisplay(display, excluding, pixelWidth, pixelHeight, std::move(completion));
    if (windowsUntold_) {
        if (neverReadOpen()) return completion(platform::CaptureError{kNeverReadOpen});
        // Asked again once the picture is taken: one started meanwhile may already be in it.
        completion = [self = shared_from_this(), completion = std::move(completion)](platform::CaptureResult result) {
            if (self->neverReadOpen()) return completion(platform::CaptureError{kNeverReadOpen});
            completion(std::move(result));
        };
    }
    // The windows never read are blank, as the agent's own are; listed now, so that none is missed.
    windowsNow([self = shared_from_this(), display, excluding, pixelWidth, pixelHeight,
                                completion = std::move(completion)](platform::ContentResult content) mutable {
        const auto* listed = std::get_if<platform::ShareableContent>(&content);
        // Without the list no window can be told apart: nothing is read rather than too much.
        if (!listed) return completion(platform::CaptureError{std::get<platform::CaptureError>(content)});
        auto hidden = excluding;
        for (const auto& w : listed->windows)
            if (self->places_->excluded(w.ownerPid.value_or(0), w.appClass, w.title)) hidden.push_back(w);
        if (!self->consent_->screenText()) return completion(platform::CaptureError{kRefused});
        if (self->locked()) return completion(platform::CaptureError{kLocked});
        self->capture_->captureDisplay(display, hidden, pixelWidth, pixelHeight, std::move(completion));
    });
}

bool ConsentScreenCapture::neverReadOpen() {
    const auto now = std::chrono::steady_clock::now();
    if (places_->anyProcessExcluded()) {
        neverReadSeenAt_.store(now.time_since_epoch().count());
        return true;
    }
    // The screen's latest picture may still show a window closed a moment ago.
    const auto seen = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(neverReadSeenAt_.load()));
    return neverReadSeenAt_.load() != 0 && now - seen < kNeverReadGone;
}

}  // namespace linuxplatform
