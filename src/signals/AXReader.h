#pragma once
#include <optional>
#include <string>

// Reads the text of the focused input field through the accessibility interface.
namespace AXReader {

// The field's value, else its selected text, when either is a string that is not blank;
// returned as read (untrimmed), made valid UTF-8.
std::optional<std::string> focusedText();

}  // namespace AXReader
