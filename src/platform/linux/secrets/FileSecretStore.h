#pragma once
// Secrets in owner-only files, for sessions without a Secret Service: one file per service and
// account in a 0700 folder, written atomically, never read through a link or from a file that
// anyone but the owner could read.
#include <string>

#include "platform/SecretStore.h"

namespace linuxplatform {

class FileSecretStore final : public platform::SecretStore {
public:
    // "<XDG data home>/wellspire-agent/secrets".
    static std::string defaultFolder();

    explicit FileSecretStore(std::string folder = defaultFolder()) : folder_(std::move(folder)) {}

    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    // Does nothing when an item of that service and account already exists.
    void add(const std::string& service, const std::string& account, const std::string& bytes) override;
    void remove(const std::string& service, const std::string& account) override;

    // The file name of an item inside the folder; nothing when the names are too long for one.
    static std::optional<std::string> fileName(const std::string& service, const std::string& account);
    const std::string& folder() const { return folder_; }

private:
    // The folder opened without following links, checked to be ours and private; -1 when not.
    int openFolder(bool create) const;

    std::string folder_;
};

}  // namespace linuxplatform
