#pragma once
// What reads the focused field for the agent. It only exists while the user agrees to typed-text
// reading (ConsentAccessibility makes it and ends it); whether reading is allowed is not its concern.
#include <memory>
#include <string>

#include "platform/Accessibility.h"

namespace linuxplatform {

// Where the focused element is: its application's process and name, and the title of its window.
// Empty where unknown.
struct FocusedPlace {
    int pid = 0;
    std::string application;
    std::string windowTitle;
};

class FocusedTextReader {
public:
    virtual ~FocusedTextReader() = default;
    // The element with keyboard focus as last read, or nothing.
    virtual std::shared_ptr<platform::AXElement> focusedElement() = 0;
    // The same, with the place it was read in (taken together, so that they always belong together).
    virtual std::shared_ptr<platform::AXElement> focusedElementWithPlace(FocusedPlace& place) {
        place = FocusedPlace{};
        return focusedElement();
    }
};

}  // namespace linuxplatform
