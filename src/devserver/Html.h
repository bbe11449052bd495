#pragma once

#include <cstdint>
#include <string>

namespace devserver::Html {

// Escapes the five characters that matter in text and in quoted attribute values.
std::string escape(const std::string& text);

// Percent-encodes everything but the unreserved characters, for a query value.
std::string percentEncode(const std::string& text);

// "2024-05-01 13:04:05 UTC"; "never" for 0.
std::string time(std::int64_t epochSeconds);

// A number with at most two decimals, no trailing zeros.
std::string number(double value);

}  // namespace devserver::Html
