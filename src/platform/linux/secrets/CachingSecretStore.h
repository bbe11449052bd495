#pragma once
// The agent's own secrets kept in memory as well: every request carries the device token, and
// asking the keyring each time would put a D-Bus round trip on the main thread per request. What
// the underlying store holds stays the truth: after a write or removal the value is read back from
// it, and whoever watches the store from outside (SecretStoreWatcher) calls refresh() on every
// change, so that the values are read again on the worker.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/SecretStore.h"
#include "platform/Worker.h"

namespace linuxplatform {

class CachingSecretStore final : public platform::SecretStore {
public:
    // Without a worker, the store is asked on the caller's thread.
    explicit CachingSecretStore(std::shared_ptr<platform::SecretStore> inner,
                                std::unique_ptr<platform::Worker> worker = nullptr);
    // With a worker the store is only ever asked there. An item not read before is asked and
    // waited for, at most firstAnswerSeconds; a write or removal is made there and waited for.
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    std::optional<std::string> readWithin(const std::string& service, const std::string& account,
                                          double seconds) override;
    void add(const std::string& service, const std::string& account, const std::string& bytes) override;
    void remove(const std::string& service, const std::string& account) override;

    // Starts asking for an item on the worker, so that its first read need not wait.
    void prefetch(const std::string& service, const std::string& account);
    // Something changed outside the agent: every item known so far is read again.
    void refresh();
    // From now on another store lies underneath (a Secret Service that started after the agent).
    void replaceStore(std::shared_ptr<platform::SecretStore> inner);
    // Makes the store underneath on the worker, before anything queued after this call.
    void chooseStore(std::function<std::shared_ptr<platform::SecretStore>()> choose);
    std::shared_ptr<platform::SecretStore> store();

    static constexpr double firstAnswerSeconds = 5;
    // How long a write or removal waits for the store; a later read waits for what it left.
    static constexpr double writeWaitSeconds = 5;

private:
    struct Entry {
        std::optional<std::string> value;
        bool known = false;        // an answer has come
        bool asking = false;       // the worker is asking the store
        std::uint64_t writes = 0;  // writes and removals so far: a later one makes an ask stale
    };
    using Key = std::pair<std::string, std::string>;
    Entry& refreshed(const Key& key);  // call with mutex_ held
    void write(const Key& key, std::function<void(platform::SecretStore&)> change);
    void ask(const Key& key, Entry& entry);  // call with mutex_ held
    void answer(const Key& key, std::uint64_t writes, std::optional<std::string> value);
    std::optional<std::string> innerRead(const Key& key);

    std::mutex innerMutex_;  // the store underneath, which need not be safe across threads
    std::shared_ptr<platform::SecretStore> inner_;
    std::mutex mutex_;  // the entries
    std::condition_variable answered_;
    std::map<Key, Entry> entries_;
    bool refreshQueued_ = false;
    // Last, so that it goes first: its thread is joined before anything its tasks touch is gone.
    std::unique_ptr<platform::Worker> worker_;
};

}  // namespace linuxplatform
