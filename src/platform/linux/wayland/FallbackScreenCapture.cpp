#include "platform/linux/wayland/FallbackScreenCapture.h"

#include "platform/linux/common/UnavailableScreenCapture.h"
#include "platform/linux/wayland/WaylandLog.h"

namespace linuxplatform {
namespace {

std::shared_ptr<platform::ScreenCapture> made(const FallbackScreenCapture::Backend& backend) {
    auto capture = backend.make ? backend.make() : nullptr;
    if (capture) return capture;
    return std::make_shared<UnavailableScreenCapture>("the " + backend.name + " capture could not be set up");
}

std::optional<std::string> refusal(const platform::ScreenCapture& capture) {
    const auto* refusing = dynamic_cast<const CaptureRefusal*>(&capture);
    return refusing ? refusing->refusedForGood() : std::nullopt;
}

}  // namespace

FallbackScreenCapture::FallbackScreenCapture(std::vector<Backend> order) : order_(std::move(order)) {
    if (order_.empty()) order_.push_back({"none", nullptr});
    capture_ = made(order_.front());
}

FallbackScreenCapture::~FallbackScreenCapture() = default;

std::string FallbackScreenCapture::serving() const {
    std::lock_guard lock(mutex_);
    return order_[index_].name;
}

std::shared_ptr<platform::ScreenCapture> FallbackScreenCapture::current() {
    std::vector<std::shared_ptr<platform::ScreenCapture>> retired;
    std::shared_ptr<platform::ScreenCapture> serving;
    bool handedOver = false;
    {
        std::lock_guard lock(mutex_);
        while (auto why = refusal(*capture_)) {
            if (index_ + 1 >= order_.size()) {
                // The last one keeps serving its errors; said once.
                if (!lastRefusalLogged_)
                    waylandLog("CAPTURE " + order_[index_].name + " refused for good (" + *why + "); no other capture to use");
                lastRefusalLogged_ = true;
                break;
            }
            waylandLog("CAPTURE " + order_[index_].name + " refused for good (" + *why + "); falling back to " +
                       order_[index_ + 1].name);
            // Ended outside the lock: its thread finishes the calls it has first.
            retired.push_back(std::move(capture_));
            capture_ = made(order_[++index_]);
            handedOver = true;
        }
        serving = capture_;
    }
    if (handedOver) serving->request();
    return serving;
}

bool FallbackScreenCapture::preflight() { return current()->preflight(); }

void FallbackScreenCapture::request() { current()->request(); }

void FallbackScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    current()->shareableContent(std::move(completion));
}

void FallbackScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                          std::function<void(platform::CaptureResult)> completion) {
    current()->captureWindow(window, pixelWidth, pixelHeight, std::move(completion));
}

void FallbackScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                           const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                           int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    current()->captureDisplay(display, excluding, pixelWidth, pixelHeight, std::move(completion));
}

}  // namespace linuxplatform
