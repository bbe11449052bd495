#pragma once
// Accessibility on a Linux desktop through AT-SPI 2. "Trusted" means the session's accessibility
// bus is switched on; the prompt switches it on. The focused accessible is followed from focus
// events on a thread of its own (libatspi is single-threaded), and every query from outside
// reaches that thread with a time limit, so a hung application never stalls the caller.
// libatspi is process-wide: only the first of several live instances follows the focus.
#include <memory>

#include "platform/Accessibility.h"

namespace linuxplatform {

class AtspiAccessibility final : public platform::Accessibility {
public:
    AtspiAccessibility();
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    bool isProcessTrusted() override;
    bool isProcessTrustedWithPrompt() override;
    // The focused element as read now: its text and first selection are fetched in one trip to the
    // AT-SPI thread, so the whole read costs the caller at most `queryTimeout`. Password fields
    // and elements without text give an element whose attributes are all nothing.
    std::shared_ptr<platform::AXElement> focusedElement() override;

    static constexpr int queryTimeoutMs = 300;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxplatform
