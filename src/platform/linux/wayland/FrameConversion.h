#pragma once
// Raw frames as compositors hand them over (a wl_shm buffer, a pipe from KWin) turned into the
// RGBA images the recognizer reads. Alpha is dropped: a screen is opaque.
#include <cstdint>
#include <optional>
#include <span>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class FrameConversion {
public:
    // A frame in a wl_shm format (ARGB8888, XRGB8888, ABGR8888 or XBGR8888); `yInvert` when its
    // rows run bottom to top. Nothing for another format or a buffer too small for its size.
    static std::optional<platform::Image> fromShm(std::span<const std::uint8_t> data, int width, int height,
                                                  int stride, std::uint32_t format, bool yInvert);
    // A frame of an output in its buffer's orientation turned as the output shows it, for a
    // wl_output transform (0 normal, 1-3 quarter turns, 4-7 the same mirrored).
    static platform::Image turned(platform::Image frame, int transform);
    // A frame in a QImage::Format, given by its number as KWin reports it.
    static std::optional<platform::Image> fromQImage(std::span<const std::uint8_t> data, int width, int height,
                                                     int stride, std::uint32_t format);
};

}  // namespace linuxplatform
