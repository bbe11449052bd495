#pragma once
// Accessibility as the user allowed it. "Trusted" means the user agreed to typed-text reading and the
// session's accessibility bus is on. Nothing is read before that agreement: the reader that follows
// the focused field only exists while it holds. The prompt shows the privacy window and changes
// nothing by itself; the bus is switched on only once the user has agreed.
#include <functional>
#include <memory>
#include <mutex>

#include "platform/Accessibility.h"
#include "platform/linux/common/FocusedTextReader.h"

namespace linuxplatform {

class AccessibilityBus;
class Consent;

class ConsentAccessibility final : public platform::Accessibility {
public:
    using ReaderFactory = std::function<std::unique_ptr<FocusedTextReader>()>;
    // Main thread. `showConsent` presents the privacy window.
    ConsentAccessibility(std::shared_ptr<Consent> consent, std::shared_ptr<AccessibilityBus> bus,
                         ReaderFactory makeReader, std::function<void()> showConsent);
    ~ConsentAccessibility() override;

    bool isProcessTrusted() override;
    bool isProcessTrustedWithPrompt() override;
    // Nothing without the user's agreement.
    std::shared_ptr<platform::AXElement> focusedElement() override;

private:
    // Main thread: brings the reader and the bus in line with the consent.
    void follow();

    std::shared_ptr<Consent> consent_;
    std::shared_ptr<AccessibilityBus> bus_;
    ReaderFactory makeReader_;
    std::function<void()> showConsent_;
    std::mutex mutex_;
    std::shared_ptr<FocusedTextReader> reader_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace linuxplatform
