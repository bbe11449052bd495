#include "platform/linux/consent/ConsentAccessibility.h"

#include "platform/linux/consent/AccessibilityBus.h"
#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/PlacesNeverRead.h"
#include "platform/linux/consent/SessionLock.h"

namespace linuxplatform {

ConsentAccessibility::ConsentAccessibility(std::shared_ptr<Consent> consent, std::shared_ptr<AccessibilityBus> bus,
                                           ReaderFactory makeReader, std::function<void()> showConsent)
    : consent_(std::move(consent)),
      bus_(std::move(bus)),
      makeReader_(std::move(makeReader)),
      showConsent_(std::move(showConsent)) {
    // The consent and the bus call back on the main thread, as long as this object is there.
    std::weak_ptr<bool> alive = alive_;
    consent_->onChange([this, alive] {
        if (alive.lock()) consentChanged();
    });
    bus_->onChange([this, alive](bool on) {
        if (alive.lock()) busChanged(on);
    });
    // An earlier run that ended without putting the switch back (a crash) left the debt on disk.
    owned_ = consent_->busSwitchedOnByAgent();
    agreed_ = consent_->typedText();
    if (agreed_ && !bus_->known()) {
        // An agreement given in an earlier run still holds: the bus goes on again before launch asks.
        switchBusOn(true);
    } else if (!agreed_ && owned_) {
        putBusBack(true);
    }
    follow();
}

ConsentAccessibility::~ConsentAccessibility() = default;

void ConsentAccessibility::consentChanged() {
    const bool agreed = consent_->typedText();
    if (agreed == agreed_) return;
    agreed_ = agreed;
    // The reader goes first: nothing is read while the bus is being put back.
    follow();
    if (agreed && !bus_->known()) switchBusOn(false);
    if (!agreed) putBusBack(false);
    notify();
}

void ConsentAccessibility::busChanged(bool on) {
    // Switched off by someone else while it was the agent's: it is theirs from now on.
    if (!on && owned_ && !switching_) {
        owned_ = false;
        consent_->setBusSwitchedOnByAgent(false);
    }
    follow();
    notify();
}

void ConsentAccessibility::switchBusOn(bool wait) {
    // While it is being put back, the put-back's answer switches it on again if the user agrees by then.
    if (switching_ || puttingBack_ || quitting_ || !consent_->typedText()) return;
    switching_ = true;
    // Remembered before the switch: a crash right after it must still know to put it back.
    owned_ = true;
    consent_->setBusSwitchedOnByAgent(true);
    std::weak_ptr<bool> alive = alive_;
    bus_->switchTo(true, wait, [this, alive](bool ok) {
        if (!alive.lock()) return;
        switching_ = false;
        if (!ok && !bus_->known()) {
            owned_ = false;
            consent_->setBusSwitchedOnByAgent(false);
        }
        // Withdrawn while the switch was on its way.
        if (!consent_->typedText()) putBusBack(false);
        follow();
        notify();
    });
}

void ConsentAccessibility::putBusBack(bool wait) {
    // A switch-on on its way puts it back itself when it lands, unless the agent is quitting: then
    // this comes after it on the same connection.
    if (!owned_ || (switching_ && !wait)) return;
    owned_ = false;
    // Off already: someone else switched it, and it is theirs.
    if (!bus_->known() && !switching_) {
        consent_->setBusSwitchedOnByAgent(false);
        return;
    }
    puttingBack_ = true;
    std::weak_ptr<bool> alive = alive_;
    std::shared_ptr<Consent> consent = consent_;
    bus_->switchTo(false, wait, [this, alive, consent](bool ok) {
        // Kept when the bus refused, so that the next start tries again.
        if (ok) consent->setBusSwitchedOnByAgent(false);
        if (!alive.lock()) return;
        puttingBack_ = false;
        // Agreed again while it was on its way.
        if (consent_->typedText() && !bus_->known()) switchBusOn(false);
        follow();
        notify();
    });
}

void ConsentAccessibility::putBack() {
    // For good: the agreement still holds, but nothing may switch the bus on again in this run.
    quitting_ = true;
    putBusBack(true);
}

void ConsentAccessibility::switchOn() {
    if (switchedOff()) switchBusOn(false);
}

bool ConsentAccessibility::switchedOff() const {
    // A session without an accessibility bus at all has no switch to offer.
    return consent_->typedText() && bus_->reachable() && !bus_->known() && !switching_ && !puttingBack_;
}

void ConsentAccessibility::onChange(std::function<void()> observer) { observers_.push_back(std::move(observer)); }

void ConsentAccessibility::notify() {
    for (const auto& observer : observers_) observer();
}

void ConsentAccessibility::follow() {
    const bool reading = consent_->typedText() && bus_->known();
    std::shared_ptr<FocusedTextReader> gone;
    {
        std::lock_guard lock(mutex_);
        if (reading && !reader_) reader_ = makeReader_();
        if (!reading) gone = std::move(reader_);
    }
    // A withdrawn agreement, or the bus gone off, ends the reader, and with it every event it
    // listened to.
}

bool ConsentAccessibility::isProcessTrusted() { return consent_->typedText() && bus_->enabled(); }

bool ConsentAccessibility::isProcessTrustedWithPrompt() {
    const bool trusted = isProcessTrusted();
    // Not agreed, or the desktop's switch is off: the privacy window says which, and offers the way.
    // Agreed on a desktop with no accessibility bus, there is nothing to ask.
    if (!trusted && (!consent_->typedText() || switchedOff()) && showConsent_) showConsent_();
    return trusted;
}

std::shared_ptr<platform::AXElement> ConsentAccessibility::focusedElement() {
    if (!consent_->typedText() || !bus_->known() || (lock_ && lock_->locked())) return nullptr;
    std::shared_ptr<FocusedTextReader> reader;
    {
        std::lock_guard lock(mutex_);
        reader = reader_;
    }
    if (!reader) return nullptr;
    if (!places_) return reader->focusedElement();
    FocusedPlace place;
    auto element = reader->focusedElementWithPlace(place);
    if (!element) return nullptr;
    // A field of an application that has just quit: the reader has not noticed yet, and a listed
    // application could no longer be told by its process.
    if (place.pid > 0 && places_->gone(place.pid)) return nullptr;
    // The application's accessible name stands in for its window class, which AT-SPI does not tell.
    if (places_->excluded(place.pid, place.application, place.windowTitle)) return nullptr;
    return element;
}

}  // namespace linuxplatform
