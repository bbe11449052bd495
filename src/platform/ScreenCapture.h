#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Geometry.h"

namespace platform {

// A captured still image, 8-bit RGBA rows, top row first.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

struct ShareableWindow {
    std::uint64_t id = 0;
    std::optional<int> ownerPid;  // nothing when the owning application is unknown
    bool onScreen = false;
    Rect frame;                   // points
    std::string title{};          // empty where the platform does not tell
    std::string appClass{};       // the window's class or app id; empty where unknown
};

struct ShareableDisplay {
    std::uint64_t id = 0;
    int width = 0;   // points
    int height = 0;  // points
};

struct ShareableContent {
    std::vector<ShareableWindow> windows;  // desktop windows excluded, on-screen only, platform order
    std::vector<ShareableDisplay> displays;
};

struct CaptureError {
    std::string description;
};

using ContentResult = std::variant<ShareableContent, CaptureError>;
using CaptureResult = std::variant<std::shared_ptr<const Image>, CaptureError>;

// Every call completes exactly once, with a result or an error.
class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;
    virtual bool preflight() = 0;  // never prompts
    virtual void request() = 0;
    virtual void shareableContent(std::function<void(ContentResult)> completion) = 0;
    // One window alone, without the cursor, at the given pixel size.
    virtual void captureWindow(const ShareableWindow& window, int pixelWidth, int pixelHeight,
                               std::function<void(CaptureResult)> completion) = 0;
    // A whole display minus the given windows, without the cursor, at the given pixel size.
    virtual void captureDisplay(const ShareableDisplay& display, const std::vector<ShareableWindow>& excluding,
                                int pixelWidth, int pixelHeight, std::function<void(CaptureResult)> completion) = 0;
};

// Text lines of an image in reading order; each line its best reading, or nothing.
// Returns nothing when recognition itself fails.
class TextRecognizer {
public:
    virtual ~TextRecognizer() = default;
    virtual std::optional<std::vector<std::optional<std::string>>> recognize(const Image& image) = 0;
};

}  // namespace platform
