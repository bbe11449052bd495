#pragma once
// Accessibility on a Linux desktop through AT-SPI 2. "Trusted" means the session's accessibility
// bus is switched on; the prompt switches it on. The focused element and its text are followed on
// a thread of its own (AtspiFocusTracker); a caller only takes the reading that thread keeps fresh,
// so a hung application never stalls it. libatspi is process-wide: only the first of several
// live instances follows the focus.
#include <memory>

#include "platform/Accessibility.h"

namespace linuxplatform {

class AtspiAccessibility final : public platform::Accessibility {
public:
    AtspiAccessibility();
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    // The first answer is asked of the bus; later ones are the last heard, refreshed off the
    // caller's thread at each question and whenever the bus announces a change.
    bool isProcessTrusted() override;
    bool isProcessTrustedWithPrompt() override;
    // The focused element's text and first selection as read after its latest change. Nothing when
    // nothing has focus or its application is gone. Password fields and elements without text give
    // an element whose attributes are all nothing.
    std::shared_ptr<platform::AXElement> focusedElement() override;

    static constexpr int queryTimeoutMs = 300;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxplatform
