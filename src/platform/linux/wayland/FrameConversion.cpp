#include "platform/linux/wayland/FrameConversion.h"

#include <QImage>
#include <QTransform>

#include <bit>
#include <cstring>

namespace linuxplatform {
namespace {

// wl_shm keeps the two oldest formats at 0 and 1; the others are DRM fourcc codes.
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 | static_cast<std::uint32_t>(c) << 16 |
           static_cast<std::uint32_t>(d) << 24;
}
constexpr std::uint32_t kShmArgb8888 = 0, kShmXrgb8888 = 1;
constexpr std::uint32_t kArgb8888 = fourcc('A', 'R', '2', '4'), kXrgb8888 = fourcc('X', 'R', '2', '4');
constexpr std::uint32_t kAbgr8888 = fourcc('A', 'B', '2', '4'), kXbgr8888 = fourcc('X', 'B', '2', '4');

std::optional<QImage::Format> shmFormat(std::uint32_t format) {
    // wl_shm formats are little-endian words; QImage's 32-bit ARGB ones are native words.
    const bool little = std::endian::native == std::endian::little;
    switch (format) {
    case kShmArgb8888:
    case kArgb8888: return little ? QImage::Format_ARGB32 : QImage::Format_RGBA8888;
    case kShmXrgb8888:
    case kXrgb8888: return little ? QImage::Format_RGB32 : QImage::Format_RGBX8888;
    case kAbgr8888: return little ? QImage::Format_RGBA8888 : std::optional<QImage::Format>{};
    case kXbgr8888: return little ? QImage::Format_RGBX8888 : std::optional<QImage::Format>{};
    default: return std::nullopt;
    }
}

std::optional<platform::Image> convert(std::span<const std::uint8_t> data, int width, int height, int stride,
                                       QImage::Format format, bool yInvert) {
    if (width <= 0 || height <= 0 || stride <= 0) return std::nullopt;
    const int bits = QImage::toPixelFormat(format).bitsPerPixel();
    if (bits <= 0 || static_cast<long long>(stride) * 8 < static_cast<long long>(width) * bits) return std::nullopt;
    if (data.size() < static_cast<std::size_t>(stride) * static_cast<std::size_t>(height)) return std::nullopt;
    const QImage view(data.data(), width, height, stride, format);
    if (view.isNull()) return std::nullopt;
    QImage rgba = view.convertToFormat(QImage::Format_RGBX8888);
    if (yInvert) rgba = rgba.mirrored(false, true);
    if (rgba.isNull()) return std::nullopt;
    platform::Image out;
    out.width = width;
    out.height = height;
    out.rgba.resize(static_cast<std::size_t>(width) * height * 4);
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    for (int y = 0; y < height; ++y) std::memcpy(out.rgba.data() + row * y, rgba.constScanLine(y), row);
    // Qt keeps the alpha bytes of a 32-bit source; a screen shows no transparency.
    for (std::size_t i = 3; i < out.rgba.size(); i += 4) out.rgba[i] = 255;
    return out;
}

}  // namespace

std::optional<platform::Image> FrameConversion::fromShm(std::span<const std::uint8_t> data, int width, int height,
                                                         int stride, std::uint32_t format, bool yInvert) {
    const auto qt = shmFormat(format);
    if (!qt) return std::nullopt;
    return convert(data, width, height, stride, *qt, yInvert);
}

platform::Image FrameConversion::turned(platform::Image frame, int transform) {
    transform &= 7;
    if (transform == 0 || frame.width <= 0 || frame.height <= 0) return frame;
    QImage view(frame.rgba.data(), frame.width, frame.height, frame.width * 4, QImage::Format_RGBX8888);
    // Checked against grim on every transform of a headless sway: turn, then mirror.
    QImage out = view.transformed(QTransform().rotate(90.0 * (transform & 3)));
    if (transform & 4) out = out.mirrored(true, false);
    platform::Image turned;
    turned.width = out.width();
    turned.height = out.height();
    turned.rgba.resize(static_cast<std::size_t>(turned.width) * turned.height * 4);
    const std::size_t row = static_cast<std::size_t>(turned.width) * 4;
    const QImage rgba = out.convertToFormat(QImage::Format_RGBX8888);
    for (int y = 0; y < turned.height; ++y) std::memcpy(turned.rgba.data() + row * y, rgba.constScanLine(y), row);
    return turned;
}

std::optional<platform::Image> FrameConversion::fromQImage(std::span<const std::uint8_t> data, int width, int height,
                                                            int stride, std::uint32_t format) {
    if (format == QImage::Format_Invalid || format >= QImage::NImageFormats) return std::nullopt;
    return convert(data, width, height, stride, static_cast<QImage::Format>(format), false);
}

}  // namespace linuxplatform
