#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Unicode text helpers. Strings are UTF-8; lengths count user-perceived characters
// (extended grapheme clusters).
namespace Text {

// Removes leading and trailing Unicode whitespace and newlines.
std::string trim(std::string_view text);
std::size_t length(std::string_view text);
// The first `count` characters; never splits one.
std::string prefix(std::string_view text, std::size_t count);
bool isValidUtf8(std::string_view text);
// Invalid byte sequences replaced by U+FFFD.
std::string toValidUtf8(std::string_view text);

}  // namespace Text
