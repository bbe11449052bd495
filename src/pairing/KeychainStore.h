#pragma once
#include <optional>
#include <string>

// Generic password items addressed by service and account, in the user's secret store.
// Nothing is cached; every failure is swallowed.
namespace KeychainStore {

// The stored value, or nothing (no item, store unavailable, bytes that are not UTF-8).
std::optional<std::string> read(const std::string& service, const std::string& account);
// The same, waiting at most `seconds` for a store that cannot answer at once.
std::optional<std::string> readWithin(const std::string& service, const std::string& account, double seconds);
// Replaces any item of that service and account: delete, then add.
void write(const std::string& service, const std::string& account, const std::string& value);
void remove(const std::string& service, const std::string& account);

}  // namespace KeychainStore
