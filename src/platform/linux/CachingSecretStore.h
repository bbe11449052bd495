#pragma once
// The agent's own secrets kept in memory as well: every request carries the device token, and
// asking the keyring each time would put a D-Bus round trip on the main thread per request. What
// the underlying store holds stays the truth: after a write or removal the value is read back from
// it, and an answer of nothing is asked again after `missSeconds` (the keyring may since have been
// unlocked). With a worker, that asking again happens on the worker: an unpaired agent would
// otherwise wait on the keyring from its main thread every few seconds.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/Clock.h"
#include "platform/SecretStore.h"
#include "platform/Worker.h"

namespace linuxplatform {

class CachingSecretStore final : public platform::SecretStore {
public:
    // Without a worker, misses are asked again on the caller's thread.
    CachingSecretStore(std::shared_ptr<platform::SecretStore> inner, std::function<platform::TimePoint()> now,
                       std::unique_ptr<platform::Worker> worker = nullptr);
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    void add(const std::string& service, const std::string& account, const std::string& bytes) override;
    void remove(const std::string& service, const std::string& account) override;

    static constexpr double missSeconds = 10;

private:
    struct Entry {
        std::optional<std::string> value;
        platform::TimePoint readAt;
        std::uint64_t writes = 0;  // writes and removals so far: a later one makes an ask stale
        bool asking = false;       // the worker is asking the store
    };
    using Key = std::pair<std::string, std::string>;
    Entry& refreshed(const Key& key);  // call with mutex_ held
    std::optional<std::string> innerRead(const Key& key);

    std::shared_ptr<platform::SecretStore> inner_;
    std::function<platform::TimePoint()> now_;
    std::mutex mutex_;       // the entries
    std::mutex innerMutex_;  // the store underneath, which need not be safe across threads
    std::map<Key, Entry> entries_;
    // Last, so that it goes first: its thread is joined before anything its tasks touch is gone.
    std::unique_ptr<platform::Worker> worker_;
};

}  // namespace linuxplatform
