#include "platform/linux/CachingSecretStore.h"

namespace linuxplatform {

CachingSecretStore::CachingSecretStore(std::shared_ptr<platform::SecretStore> inner,
                                       std::function<platform::TimePoint()> now,
                                       std::unique_ptr<platform::Worker> worker)
    : inner_(std::move(inner)), now_(std::move(now)), worker_(std::move(worker)) {}

std::optional<std::string> CachingSecretStore::innerRead(const Key& key) {
    std::lock_guard lock(innerMutex_);
    return inner_ ? inner_->read(key.first, key.second) : std::nullopt;
}

CachingSecretStore::Entry& CachingSecretStore::refreshed(const Key& key) {
    Entry& entry = entries_[key];
    entry.value = innerRead(key);
    entry.readAt = now_();
    return entry;
}

std::optional<std::string> CachingSecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    const Key key{service, account};
    const auto it = entries_.find(key);
    // The first answer is waited for: the caller must not take "not paired" for a token not yet read.
    if (it == entries_.end()) return refreshed(key).value;
    Entry& entry = it->second;
    const double age = platform::secondsBetween(entry.readAt, now_());
    if (entry.value || (age >= 0 && age < missSeconds)) return entry.value;
    if (!worker_) return refreshed(key).value;
    if (!entry.asking) {
        entry.asking = true;
        // `this` outlives the task: the worker is destroyed first, and its thread joined.
        worker_->run([this, key, writes = entry.writes] {
            auto value = innerRead(key);
            std::lock_guard lock(mutex_);
            Entry& asked = entries_[key];
            asked.asking = false;
            if (asked.writes != writes) return;  // a write since has read the store itself
            asked.value = std::move(value);
            asked.readAt = now_();
        });
    }
    return entry.value;
}

void CachingSecretStore::add(const std::string& service, const std::string& account, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    {
        std::lock_guard inner(innerMutex_);
        if (inner_) inner_->add(service, account, bytes);
    }
    ++refreshed({service, account}).writes;
}

void CachingSecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    {
        std::lock_guard inner(innerMutex_);
        if (inner_) inner_->remove(service, account);
    }
    ++refreshed({service, account}).writes;
}

}  // namespace linuxplatform
