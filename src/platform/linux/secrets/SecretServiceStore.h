#pragma once
// Secrets in the desktop's Secret Service (gnome-keyring, KWallet...) through libsecret.
#include <memory>

#include "platform/SecretStore.h"
#include "platform/linux/secrets/FileSecretStore.h"

namespace linuxplatform {

// Nothing here ever unlocks the keyring: an unlock asks the user and blocks the caller until
// they answer. While the default collection is locked (or cannot be stored into), items go to
// the owner-only file store instead; reads look there first. A removal that cannot reach a locked
// keyring leaves a mark in a second owner-only folder: while it stands the keyring's item counts
// as gone, and it is deleted there as soon as the keyring is open, so that an old token never
// comes back after an unlock.
class SecretServiceStore final : public platform::SecretStore {
public:
    explicit SecretServiceStore(std::string fallbackFolder = FileSecretStore::defaultFolder())
        : fallback_(fallbackFolder), removed_(fallbackFolder + "-removed") {}
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    // Does nothing when an item of that service and account already exists in either store.
    void add(const std::string& service, const std::string& account, const std::string& bytes) override;
    void remove(const std::string& service, const std::string& account) override;

    // True when a Secret Service answers on the session bus and has a default collection to
    // store into. Never blocks for long.
    static bool available();
    // Whether the default collection is locked; nothing when the service does not say.
    static std::optional<bool> defaultCollectionLocked();

private:
    // Deletes the keyring's item of a pending removal once the keyring is open; true when none is left pending.
    bool settleRemoval(const std::string& service, const std::string& account);

    FileSecretStore fallback_;
    FileSecretStore removed_;  // pending removals: an empty item per service and account
};

// Whether a session bus can be reached without GLib falling back to autolaunching one.
bool sessionBusConfigured();

// The Secret Service when one answers, else the owner-only file store.
std::shared_ptr<platform::SecretStore> makeSecretStore();

}  // namespace linuxplatform
