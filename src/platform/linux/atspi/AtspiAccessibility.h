#pragma once
// The focused field read through AT-SPI 2. The focused element and its text are followed on
// a thread of its own (AtspiFocusTracker); a caller only takes the reading that thread keeps fresh,
// so a hung application never stalls it. libatspi is process-wide: only the first of several
// live instances follows the focus.
#include <memory>

#include "platform/linux/consent/FocusedTextReader.h"

namespace linuxplatform {

class AtspiAccessibility final : public FocusedTextReader {
public:
    AtspiAccessibility();
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    // The focused element's text and first selection as read after its latest change. Nothing when
    // nothing has focus or its application is gone. Password fields and elements without text give
    // an element whose attributes are all nothing.
    std::shared_ptr<platform::AXElement> focusedElement() override;
    std::shared_ptr<platform::AXElement> focusedElementWithPlace(FocusedPlace& place) override;

    static constexpr int queryTimeoutMs = 300;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxplatform
