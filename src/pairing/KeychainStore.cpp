#include "pairing/KeychainStore.h"

#include "backend/Text.h"
#include "platform/Platform.h"

namespace KeychainStore {

std::optional<std::string> read(const std::string& service, const std::string& account) {
    auto& store = platform::get().secrets;
    if (!store) return std::nullopt;
    auto bytes = store->read(service, account);
    if (!bytes || !Text::isValidUtf8(*bytes)) return std::nullopt;
    return bytes;
}

std::optional<std::string> readWithin(const std::string& service, const std::string& account, double seconds) {
    auto& store = platform::get().secrets;
    if (!store) return std::nullopt;
    auto bytes = store->readWithin(service, account, seconds);
    if (!bytes || !Text::isValidUtf8(*bytes)) return std::nullopt;
    return bytes;
}

void write(const std::string& service, const std::string& account, const std::string& value) {
    auto& store = platform::get().secrets;
    if (!store) return;
    store->remove(service, account);
    store->add(service, account, value);
}

void remove(const std::string& service, const std::string& account) {
    auto& store = platform::get().secrets;
    if (store) store->remove(service, account);
}

}  // namespace KeychainStore
