#include "pairing/DeviceAuth.h"

#include "backend/Text.h"
#include "backend/Url.h"
#include "pairing/KeychainStore.h"

namespace DeviceAuth {

bool isPaired() {
    const auto token = KeychainStore::read(kTokenService, kTokenAccount);
    return token && !token->empty();
}

bool isPaired(double waitSeconds) {
    const auto token = KeychainStore::readWithin(kTokenService, kTokenAccount, waitSeconds);
    return token && !token->empty();
}

bool completePairing(const std::string& text) {
    const auto url = Url::parse(text);
    if (!url || url->scheme != "wellspire" || !url->host || *url->host != "pair") return false;
    for (const auto& item : url->queryItems()) {
        if (item.name != "token") continue;
        // Only the first "token" counts.
        if (!item.value || item.value->empty()) return false;
        // Bytes that are not text, or control characters, can never travel in a header.
        if (!Text::isValidUtf8(*item.value)) return false;
        for (unsigned char c : *item.value)
            if (c < 0x20 || c == 0x7F) return false;
        KeychainStore::write(kTokenService, kTokenAccount, *item.value);
        return true;
    }
    return false;
}

}  // namespace DeviceAuth
