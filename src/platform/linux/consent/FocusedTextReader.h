#pragma once
// What reads the focused field for the agent. It only exists while the user agrees to typed-text
// reading (ConsentAccessibility makes it and ends it); whether reading is allowed is not its concern.
#include <memory>

#include "platform/Accessibility.h"

namespace linuxplatform {

class FocusedTextReader {
public:
    virtual ~FocusedTextReader() = default;
    // The element with keyboard focus as last read, or nothing.
    virtual std::shared_ptr<platform::AXElement> focusedElement() = 0;
};

}  // namespace linuxplatform
