#pragma once
#include <memory>
#include <optional>
#include <string>

namespace platform {

// The value of an accessibility attribute: a string, or something else (a number, an element...).
struct AXValue {
    bool isString = false;
    std::string string;
};

class AXElement {
public:
    virtual ~AXElement() = default;
    // Nothing when the call fails or the attribute is not supported.
    virtual std::optional<AXValue> attribute(const std::string& name) = 0;
};

class Accessibility {
public:
    virtual ~Accessibility() = default;
    virtual bool isProcessTrusted() = 0;
    // Same answer, and asks the desktop to let the agent in when it is not.
    virtual bool isProcessTrustedWithPrompt() = 0;
    // The element with keyboard focus, or nothing.
    virtual std::shared_ptr<AXElement> focusedElement() = 0;
};

}  // namespace platform
