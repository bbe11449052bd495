#pragma once
#include <string>

// The device token and the paired state. The store is the only source of truth.
namespace DeviceAuth {

inline constexpr const char* kTokenService = "org.wellspire.agent.device-token";
inline constexpr const char* kTokenAccount = "device-token";

// True when a non-empty device token is stored. Reads the store every time.
bool isPaired();
// The same test, waiting at most `waitSeconds` for a store that cannot answer at once; a store
// that does not answer in time counts as holding no token.
bool isPaired(double waitSeconds);

// Validates a pairing callback URL ("wellspire://pair?token=…") and stores its token.
// False when the scheme, the host or the token is wrong.
bool completePairing(const std::string& url);

}  // namespace DeviceAuth
