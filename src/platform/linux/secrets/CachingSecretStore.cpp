#include "platform/linux/secrets/CachingSecretStore.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace linuxplatform {

CachingSecretStore::CachingSecretStore(std::shared_ptr<platform::SecretStore> inner,
                                       std::unique_ptr<platform::Worker> worker)
    : inner_(std::move(inner)), worker_(std::move(worker)) {}

std::optional<std::string> CachingSecretStore::innerRead(const Key& key) {
    std::lock_guard lock(innerMutex_);
    return inner_ ? inner_->read(key.first, key.second) : std::nullopt;
}

CachingSecretStore::Entry& CachingSecretStore::refreshed(const Key& key) {
    Entry& entry = entries_[key];
    entry.value = innerRead(key);
    entry.known = true;
    return entry;
}

void CachingSecretStore::answer(const Key& key, std::uint64_t writes, std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[key];
    // A write since has read the store itself.
    if (entry.writes == writes) {
        entry.value = std::move(value);
        entry.known = true;
    }
    answered_.notify_all();
}

void CachingSecretStore::ask(const Key& key, Entry& entry) {
    if (entry.asking) return;
    entry.asking = true;
    // `this` outlives the task: the worker is destroyed first, and its thread joined.
    worker_->run([this, key, writes = entry.writes] {
        auto value = innerRead(key);
        {
            std::lock_guard lock(mutex_);
            entries_[key].asking = false;
        }
        answer(key, writes, std::move(value));
    });
}

std::optional<std::string> CachingSecretStore::read(const std::string& service, const std::string& account) {
    return readWithin(service, account, firstAnswerSeconds);
}

std::optional<std::string> CachingSecretStore::readWithin(const std::string& service, const std::string& account,
                                                          double seconds) {
    std::unique_lock lock(mutex_);
    const Key key{service, account};
    Entry& entry = entries_[key];
    if (entry.known) return entry.value;
    if (!worker_) return refreshed(key).value;
    // The first answer is waited for: the caller must not take "not paired" for a token not yet read.
    ask(key, entry);
    answered_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, seconds)), [&] { return entry.known; });
    return entry.known ? entry.value : std::nullopt;
}

void CachingSecretStore::prefetch(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    const Key key{service, account};
    Entry& entry = entries_[key];
    if (entry.known) return;
    if (worker_)
        ask(key, entry);
    else
        refreshed(key);
}

void CachingSecretStore::refresh() {
    auto readAll = [this] {
        std::vector<std::pair<Key, std::uint64_t>> keys;
        {
            std::lock_guard lock(mutex_);
            refreshQueued_ = false;
            for (const auto& [key, entry] : entries_) keys.emplace_back(key, entry.writes);
        }
        for (const auto& [key, writes] : keys) answer(key, writes, innerRead(key));
    };
    if (!worker_) {
        readAll();
        return;
    }
    std::lock_guard lock(mutex_);
    // One pass covers every change made before it starts.
    if (refreshQueued_) return;
    refreshQueued_ = true;
    worker_->run(readAll);
}

void CachingSecretStore::replaceStore(std::shared_ptr<platform::SecretStore> inner) {
    {
        std::lock_guard lock(innerMutex_);
        inner_ = std::move(inner);
    }
    refresh();
}

void CachingSecretStore::chooseStore(std::function<std::shared_ptr<platform::SecretStore>()> choose) {
    if (!worker_) {
        replaceStore(choose());
        return;
    }
    worker_->run([this, choose = std::move(choose)] {
        auto chosen = choose();
        std::lock_guard lock(innerMutex_);
        inner_ = std::move(chosen);
    });
}

std::shared_ptr<platform::SecretStore> CachingSecretStore::store() {
    std::lock_guard lock(innerMutex_);
    return inner_;
}

void CachingSecretStore::add(const std::string& service, const std::string& account, const std::string& bytes) {
    write({service, account}, [service, account, bytes](platform::SecretStore& inner) { inner.add(service, account, bytes); });
}

void CachingSecretStore::remove(const std::string& service, const std::string& account) {
    write({service, account}, [service, account](platform::SecretStore& inner) { inner.remove(service, account); });
}

void CachingSecretStore::write(const Key& key, std::function<void(platform::SecretStore&)> change) {
    std::unique_lock lock(mutex_);
    if (!worker_) {
        {
            std::lock_guard inner(innerMutex_);
            if (inner_) change(*inner_);
        }
        ++refreshed(key).writes;
        return;
    }
    // The store is changed and read back on the worker; the caller waits for that, within a bound.
    Entry& entry = entries_[key];
    const std::uint64_t writes = ++entry.writes;
    entry.known = false;
    worker_->run([this, key, writes, change = std::move(change)] {
        std::optional<std::string> value;
        {
            std::lock_guard inner(innerMutex_);
            if (inner_) {
                change(*inner_);
                value = inner_->read(key.first, key.second);
            }
        }
        answer(key, writes, std::move(value));
    });
    answered_.wait_for(lock, std::chrono::duration<double>(writeWaitSeconds), [&] { return entry.known; });
}

}  // namespace linuxplatform
