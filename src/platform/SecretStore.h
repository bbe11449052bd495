#pragma once
#include <optional>
#include <string>

namespace platform {

// Per-user secret store addressed by service and account. Values are raw bytes.
// Every failure is swallowed: a failed read returns nothing, a failed write or remove does nothing.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual std::optional<std::string> read(const std::string& service, const std::string& account) = 0;
    // The same read, for callers that must not wait long: a store that cannot answer within
    // `seconds` returns nothing.
    virtual std::optional<std::string> readWithin(const std::string& service, const std::string& account,
                                                  double seconds) {
        (void)seconds;
        return read(service, account);
    }
    virtual void add(const std::string& service, const std::string& account, const std::string& bytes) = 0;
    virtual void remove(const std::string& service, const std::string& account) = 0;
};

}  // namespace platform
