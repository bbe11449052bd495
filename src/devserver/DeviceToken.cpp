#include "devserver/DeviceToken.h"

#include <array>
#include <fstream>
#include <stdexcept>

#include <sys/random.h>

namespace devserver::DeviceToken {

std::string generate() {
    std::array<unsigned char, randomBytes> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled < bytes.size()) {
        std::ifstream urandom("/dev/urandom", std::ios::binary);
        if (!urandom.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
            throw std::runtime_error("no random source for device tokens");
    }
    static const char hex[] = "0123456789abcdef";
    std::string token;
    token.reserve(bytes.size() * 2);
    for (const unsigned char b : bytes) {
        token.push_back(hex[b >> 4]);
        token.push_back(hex[b & 0x0F]);
    }
    return token;
}

}  // namespace devserver::DeviceToken
