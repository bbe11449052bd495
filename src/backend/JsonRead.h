#pragma once
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Reading reply values: a missing key or a value of another type counts as absent.
namespace JsonRead {

using Json = nlohmann::json;

// JSON true/false, or a number equal to 1 or 0.
std::optional<bool> boolean(const Json& object, std::string_view key);
// A number with an exact integer value.
std::optional<long long> integer(const Json& object, std::string_view key);
std::optional<std::string> string(const Json& object, std::string_view key);
// The object under the key, or an empty object.
Json objectOrEmpty(const Json& object, std::string_view key);

}  // namespace JsonRead
