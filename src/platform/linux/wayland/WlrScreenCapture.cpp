#include "platform/linux/wayland/WlrScreenCapture.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/wayland/CaptureWorker.h"
#include "platform/linux/wayland/ServedCaptureCalls.h"
#include "platform/linux/wayland/CompositorContent.h"
#include "platform/linux/wayland/OutputGeometry.h"
#include "platform/linux/wayland/WaylandGlobals.h"
#include "platform/linux/wayland/WaylandLog.h"
#include "platform/linux/wayland/WlrScreencopyClient.h"

namespace linuxplatform {

struct WlrScreenCapture::Impl {
    std::shared_ptr<CompositorWindows> windows;
    // Both used on the worker thread alone.
    WlrScreencopyClient client;
    ScaledFrameCache frames;

    std::atomic<bool> usable{true};
    ChangeLog health{"wlr-screencopy"};
    mutable std::mutex mutex;
    std::optional<std::string> refusal;  // under `mutex`

    Impl(std::shared_ptr<CompositorWindows> w, std::string display) : windows(std::move(w)), client(std::move(display)) {}

    std::variant<std::vector<WaylandOutput>, std::string> outputs() {
        auto result = client.outputs();
        usable = client.usable();
        auto refused = client.refusal();
        if (auto* error = std::get_if<std::string>(&result)) health.failed(*error);
        else if (refused) health.failed(*refused);
        std::lock_guard lock(mutex);
        refusal = std::move(refused);
        return result;
    }

    // A copy's outcome, for the log.
    WlrScreencopyClient::Frame copied(WlrScreencopyClient::Frame frame) {
        if (auto* error = std::get_if<std::string>(&frame)) health.failed(*error);
        else health.working();
        return frame;
    }

    platform::ContentResult content() {
        auto listed = outputs();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        return CompositorContent::list(std::get<std::vector<WaylandOutput>>(listed), windows.get());
    }

    platform::CaptureResult window(const platform::ShareableWindow& asked, int width, int height) {
        if (asked.id >= CompositorContent::kOwnWindowBase)
            return platform::CaptureError{"the agent's own panels are not captured"};
        if (!windows) return platform::CaptureError{"the compositor does not tell where windows are"};
        const auto frame = CompositorContent::frameOf(windows.get(), asked.id);
        if (!frame) return platform::CaptureError{"the window is no longer on screen"};
        auto listed = outputs();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        const auto& outs = std::get<std::vector<WaylandOutput>>(listed);
        std::vector<DesktopRect> places;
        for (const auto& o : outs) places.push_back(o.logical);
        const auto index = OutputGeometry::outputOf(places, *frame);
        if (!index) return platform::CaptureError{"the window is on no display"};
        const auto& output = outs[*index];
        auto captured = copied(client.capture(output.name, OutputGeometry::onOutput(output.logical, *frame)));
        if (auto* error = std::get_if<std::string>(&captured)) return platform::CaptureError{*error};
        // What of the output lies there, the agent's own windows over it too.
        auto& image = std::get<platform::Image>(captured);
        const DesktopRect shown = OutputGeometry::intersect(output.logical, *frame);
        if (shown.width > 0) OwnWindows::shared().blankIn(image, shown.x, shown.y, static_cast<double>(image.width) / shown.width);
        return frames.scaled(image, width, height);
    }

    platform::CaptureResult display(std::uint64_t id, const std::vector<platform::ShareableWindow>& excluding, int width,
                                    int height) {
        auto listed = outputs();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        const auto& outs = std::get<std::vector<WaylandOutput>>(listed);
        const WaylandOutput* output = CompositorContent::output(outs, id);
        if (!output) return platform::CaptureError{"the display is no longer connected"};
        auto captured = copied(client.capture(output->name));
        if (auto* error = std::get_if<std::string>(&captured)) return platform::CaptureError{*error};
        auto& image = std::get<platform::Image>(captured);
        // The compositor copies what is shown, so a left-out window is painted over where it lies.
        OutputGeometry::blank(image, output->logical, CompositorContent::hidden(outs, excluding));
        return frames.scaled(image, width, height);
    }
};

bool WlrScreenCapture::available() { return WaylandGlobals::query().has("zwlr_screencopy_manager_v1"); }

WlrScreenCapture::WlrScreenCapture(std::shared_ptr<CompositorWindows> windows, std::string display)
    : impl_(std::make_shared<Impl>(std::move(windows), std::move(display))), worker_(CaptureWorker::start()) {
    // Connect early, off the caller's thread, so that preflight soon tells the truth.
    worker_->post([impl = impl_](bool live) {
        if (live) impl->outputs();
    });
}

WlrScreenCapture::~WlrScreenCapture() { worker_->stop(); }

bool WlrScreenCapture::preflight() { return impl_->usable; }

std::optional<std::string> WlrScreenCapture::refusedForGood() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->refusal;
}

void WlrScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    servedcapture::content(*worker_, impl_, std::move(completion));
}

void WlrScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                   std::function<void(platform::CaptureResult)> completion) {
    servedcapture::window(*worker_, impl_, window, pixelWidth, pixelHeight, std::move(completion));
}

void WlrScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                    const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                    int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    servedcapture::display(*worker_, impl_, display, excluding, pixelWidth, pixelHeight, std::move(completion));
}

}  // namespace linuxplatform
