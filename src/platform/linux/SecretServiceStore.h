#pragma once
// Secrets in the desktop's Secret Service (gnome-keyring, KWallet...) through libsecret.
#include <memory>

#include "platform/SecretStore.h"

namespace linuxplatform {

class SecretServiceStore final : public platform::SecretStore {
public:
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    // Does nothing when an item of that service and account already exists.
    void add(const std::string& service, const std::string& account, const std::string& bytes) override;
    void remove(const std::string& service, const std::string& account) override;

    // True when a Secret Service answers on the session bus and has a default collection to
    // store into. Never blocks for long.
    static bool available();
};

// The Secret Service when one answers, else the owner-only file store.
std::shared_ptr<platform::SecretStore> makeSecretStore();

}  // namespace linuxplatform
