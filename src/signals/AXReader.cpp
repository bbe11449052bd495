#include "signals/AXReader.h"

#include "backend/Text.h"
#include "platform/Platform.h"

namespace AXReader {

std::optional<std::string> focusedText() {
    auto& accessibility = platform::get().accessibility;
    if (!accessibility) return std::nullopt;
    auto element = accessibility->focusedElement();
    if (!element) return std::nullopt;
    for (const char* attribute : {"AXValue", "AXSelectedText"}) {
        auto value = element->attribute(attribute);
        if (!value || !value->isString) continue;
        std::string text = Text::toValidUtf8(value->string);
        if (!Text::trim(text).empty()) return text;
    }
    return std::nullopt;
}

}  // namespace AXReader
