#include "platform/linux/common/ConsentAccessibility.h"

#include "platform/linux/common/AccessibilityBus.h"
#include "platform/linux/common/Consent.h"

namespace linuxplatform {

ConsentAccessibility::ConsentAccessibility(std::shared_ptr<Consent> consent, std::shared_ptr<AccessibilityBus> bus,
                                           ReaderFactory makeReader, std::function<void()> showConsent)
    : consent_(std::move(consent)),
      bus_(std::move(bus)),
      makeReader_(std::move(makeReader)),
      showConsent_(std::move(showConsent)) {
    // The consent calls back on the main thread, as long as this object is there.
    std::weak_ptr<bool> alive = alive_;
    consent_->onChange([this, alive] {
        if (alive.lock()) follow();
    });
    // An agreement given in an earlier run still holds: the bus goes on again before launch asks.
    if (consent_->typedText() && !bus_->enabled()) bus_->enable(true);
    follow();
}

ConsentAccessibility::~ConsentAccessibility() = default;

void ConsentAccessibility::follow() {
    const bool agreed = consent_->typedText();
    if (agreed && !bus_->enabled()) bus_->enable();
    std::shared_ptr<FocusedTextReader> gone;
    {
        std::lock_guard lock(mutex_);
        if (agreed && !reader_) reader_ = makeReader_();
        if (!agreed) gone = std::move(reader_);
    }
    // A withdrawn agreement ends the reader, and with it every event it listened to.
}

bool ConsentAccessibility::isProcessTrusted() { return consent_->typedText() && bus_->enabled(); }

bool ConsentAccessibility::isProcessTrustedWithPrompt() {
    const bool trusted = isProcessTrusted();
    // Once the user has agreed, the bus is on its way: nothing to ask.
    if (!trusted && !consent_->typedText() && showConsent_) showConsent_();
    return trusted;
}

std::shared_ptr<platform::AXElement> ConsentAccessibility::focusedElement() {
    if (!consent_->typedText()) return nullptr;
    std::shared_ptr<FocusedTextReader> reader;
    {
        std::lock_guard lock(mutex_);
        reader = reader_;
    }
    return reader ? reader->focusedElement() : nullptr;
}

}  // namespace linuxplatform
