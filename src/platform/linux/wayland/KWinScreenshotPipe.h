#pragma once
// What KWin's screenshot interface hands back: raw pixels written into a pipe we pass it, and a
// reply whose results say their width, height, stride and QImage format.
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <QVariantMap>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class KWinScreenshotPipe {
public:
    // Reads `fd` until its writer closes it, `limit` bytes have come or `timeout` has passed.
    static std::vector<std::uint8_t> read(int fd, std::size_t limit, std::chrono::milliseconds timeout);
    // The image the results describe, from the bytes read; or why not.
    static std::variant<platform::Image, std::string> decode(const QVariantMap& results,
                                                             std::span<const std::uint8_t> bytes);
    // The bytes the results announce; 0 when they announce nothing usable.
    static std::size_t expectedSize(const QVariantMap& results);
};

}  // namespace linuxplatform
