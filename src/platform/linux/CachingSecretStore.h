#pragma once
// The agent's own secrets kept in memory as well: every request carries the device token, and
// asking the keyring each time would put a D-Bus round trip on the main thread per request. What
// the underlying store holds stays the truth: after a write or removal the value is read back from
// it, and an answer of nothing is asked again after `missSeconds` (the keyring may since have been
// unlocked).
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/Clock.h"
#include "platform/SecretStore.h"

namespace linuxplatform {

class CachingSecretStore final : public platform::SecretStore {
public:
    CachingSecretStore(std::shared_ptr<platform::SecretStore> inner, std::function<platform::TimePoint()> now);
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    void add(const std::string& service, const std::string& account, const std::string& bytes) override;
    void remove(const std::string& service, const std::string& account) override;

    static constexpr double missSeconds = 10;

private:
    struct Entry {
        std::optional<std::string> value;
        platform::TimePoint readAt;
    };
    Entry& refreshed(const std::pair<std::string, std::string>& key);  // call with mutex_ held

    std::shared_ptr<platform::SecretStore> inner_;
    std::function<platform::TimePoint()> now_;
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Entry> entries_;
};

}  // namespace linuxplatform
