#include "platform/linux/CachingSecretStore.h"

namespace linuxplatform {

CachingSecretStore::CachingSecretStore(std::shared_ptr<platform::SecretStore> inner,
                                       std::function<platform::TimePoint()> now)
    : inner_(std::move(inner)), now_(std::move(now)) {}

CachingSecretStore::Entry& CachingSecretStore::refreshed(const std::pair<std::string, std::string>& key) {
    Entry& entry = entries_[key];
    entry.value = inner_ ? inner_->read(key.first, key.second) : std::nullopt;
    entry.readAt = now_();
    return entry;
}

std::optional<std::string> CachingSecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    const auto key = std::make_pair(service, account);
    if (auto it = entries_.find(key); it != entries_.end()) {
        const Entry& entry = it->second;
        const double age = platform::secondsBetween(entry.readAt, now_());
        if (entry.value || (age >= 0 && age < missSeconds)) return entry.value;
    }
    return refreshed(key).value;
}

void CachingSecretStore::add(const std::string& service, const std::string& account, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    if (inner_) inner_->add(service, account, bytes);
    refreshed({service, account});
}

void CachingSecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    if (inner_) inner_->remove(service, account);
    refreshed({service, account});
}

}  // namespace linuxplatform
