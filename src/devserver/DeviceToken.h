#pragma once

#include <string>

namespace devserver::DeviceToken {

constexpr std::size_t randomBytes = 32;

// A fresh token: randomBytes bytes from the kernel's generator, as lower-case hex.
// Throws std::runtime_error when no random source can be read.
std::string generate();

}  // namespace devserver::DeviceToken
