#include "platform/linux/wayland/KWinScreenshotPipe.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/wayland/FrameConversion.h"

namespace linuxplatform {
namespace {

// Larger than any real screen, small enough that a bad reply cannot claim all memory.
constexpr std::size_t kLargestFrame = std::size_t{16384} * 16384 * 4;

std::optional<std::uint32_t> unsignedOf(const QVariantMap& results, const char* key) {
    const QVariant value = results.value(QString::fromLatin1(key));
    bool ok = false;
    const qulonglong v = value.toULongLong(&ok);
    if (!value.isValid() || !ok || v > 0x7fffffff) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

}  // namespace

std::vector<std::uint8_t> KWinScreenshotPipe::read(int fd, std::size_t limit, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t chunk[65536];
    while (out.size() < limit) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - out.size()));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

std::size_t KWinScreenshotPipe::expectedSize(const QVariantMap& results) {
    const auto height = unsignedOf(results, "height"), stride = unsignedOf(results, "stride");
    if (!height || !stride) return 0;
    const std::size_t size = static_cast<std::size_t>(*height) * *stride;
    return size <= kLargestFrame ? size : 0;
}

std::variant<platform::Image, std::string> KWinScreenshotPipe::decode(const QVariantMap& results,
                                                                       std::span<const std::uint8_t> bytes) {
    const QString type = results.value(QStringLiteral("type")).toString();
    if (!type.isEmpty() && type != QStringLiteral("raw")) return "KWin sent a " + type.toStdString() + " image";
    const auto width = unsignedOf(results, "width"), height = unsignedOf(results, "height");
    const auto stride = unsignedOf(results, "stride"), format = unsignedOf(results, "format");
    if (!width || !height || !stride || !format || *width == 0 || *height == 0)
        return std::string("KWin's reply does not describe the image");
    const std::size_t expected = expectedSize(results);
    if (expected == 0) return std::string("KWin's image is too large");
    if (bytes.size() < expected)
        return "KWin sent " + std::to_string(bytes.size()) + " of " + std::to_string(expected) + " bytes";
    auto image = FrameConversion::fromQImage(bytes.first(expected), static_cast<int>(*width), static_cast<int>(*height),
                                             static_cast<int>(*stride), *format);
    if (!image) return "KWin's image format " + std::to_string(*format) + " cannot be read";
    return std::move(*image);
}

}  // namespace linuxplatform
