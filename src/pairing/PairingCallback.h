#pragma once
#include <string>

namespace PairingCallback {

// The callback URL as written, with the value of every "token" query item replaced by
// "<redacted>", so that the device token never reaches the shared log.
std::string redacted(const std::string& url);

}  // namespace PairingCallback
