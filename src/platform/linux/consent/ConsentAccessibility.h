#pragma once
// Accessibility as the user allowed it. "Trusted" means the user agreed to typed-text reading and the
// session's accessibility bus is on. Nothing is read before that agreement, nor while the bus is off:
// the reader that follows the focused field only exists while both hold. The prompt shows the
// privacy window and changes nothing by itself.
//
// The bus is a desktop-wide switch, so the agent leaves it as it found it: it switches it on only
// once the user agreed, and puts it back off when the user withdraws, when the agent quits, or at
// the next start after a crash, but only when the agent was the one that switched it on and nobody
// switched it since. What the agent owes is kept on disk with the consent.
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Accessibility.h"
#include "platform/linux/consent/FocusedTextReader.h"

namespace linuxplatform {

class AccessibilityBus;
class Consent;
class PlacesNeverRead;
class SessionLock;

class ConsentAccessibility final : public platform::Accessibility {
public:
    using ReaderFactory = std::function<std::unique_ptr<FocusedTextReader>()>;
    // Main thread. `showConsent` presents the privacy window. When the user agrees (now or in an
    // earlier run) and the bus is off, it is switched on before this returns.
    ConsentAccessibility(std::shared_ptr<Consent> consent, std::shared_ptr<AccessibilityBus> bus,
                         ReaderFactory makeReader, std::function<void()> showConsent);
    ~ConsentAccessibility() override;

    bool isProcessTrusted() override;
    // When not trusted, shows the privacy window (which says why), unless the bus is on its way.
    bool isProcessTrustedWithPrompt() override;
    // Nothing without the user's agreement and the bus.
    std::shared_ptr<platform::AXElement> focusedElement() override;
    // The places never read: a field there is answered as no field at all. Before the first read.
    void setPlacesNeverRead(std::shared_ptr<PlacesNeverRead> places) { places_ = std::move(places); }
    // While the session is locked no field is read, as if the agreement were withdrawn. Before the first read.
    void setSessionLock(std::shared_ptr<SessionLock> lock) { lock_ = std::move(lock); }

    // Main thread. The user agrees, but the desktop's switch is off: someone switched it off under
    // the agent. The privacy window says so and offers switchOn().
    bool switchedOff() const;
    void switchOn();
    // Main thread, whenever switchedOff() may have changed.
    void onChange(std::function<void()> observer);
    // Main thread, when quitting: puts the switch back if the agent owes it (waits a moment at most).
    void putBack();

private:
    void consentChanged();
    void busChanged(bool on);
    void switchBusOn(bool wait);
    void putBusBack(bool wait);
    // Brings the reader in line with the consent and the bus.
    void follow();
    void notify();

    std::shared_ptr<Consent> consent_;
    std::shared_ptr<AccessibilityBus> bus_;
    ReaderFactory makeReader_;
    std::function<void()> showConsent_;
    bool agreed_ = false;     // the consent as last followed
    bool owned_ = false;      // the agent switched the bus on, and nobody switched it since
    bool switching_ = false;    // a switch-on is on its way
    bool puttingBack_ = false;  // a switch-off is on its way
    bool quitting_ = false;
    std::vector<std::function<void()>> observers_;
    std::mutex mutex_;
    std::shared_ptr<FocusedTextReader> reader_;
    std::shared_ptr<PlacesNeverRead> places_;
    std::shared_ptr<SessionLock> lock_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace linuxplatform
