#pragma once
// Accessibility on a Linux desktop through AT-SPI 2. "Trusted" means the session's accessibility
// bus is switched on; the prompt switches it on. The focused accessible is followed from focus
// events on a thread of its own (libatspi is single-threaded), and every query from outside
// reaches that thread with a time limit, so a hung application never stalls the caller.
// libatspi is process-wide: only the first of several live instances follows the focus.
#include <chrono>
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
    // The focused element's latest reading: its text and first selection. Readings are taken when
    // the focus moves and, for a caller that asks at a steady pace, `prefetchLead` before it asks
    // again (otherwise right after it asked). Nothing when nothing has focus or the last reading
    // failed. Password fields and elements without text give an element whose attributes are all nothing.
    std::shared_ptr<platform::AXElement> focusedElement() override;

    static constexpr int queryTimeoutMs = 300;
    static constexpr std::chrono::milliseconds prefetchLead{80};

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxplatform
