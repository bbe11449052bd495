#include "platform/linux/wayland/WlrScreenCapture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/wayland/CaptureWorker.h"
#include "platform/linux/wayland/CompositorWindows.h"
#include "platform/linux/wayland/OutputGeometry.h"
#include "platform/linux/wayland/WaylandGlobals.h"
#include "platform/linux/wayland/WlrScreencopyClient.h"

namespace linuxplatform {
namespace {

std::vector<DesktopRect> places(const std::vector<WaylandOutput>& outputs) {
    std::vector<DesktopRect> out;
    for (const auto& o : outputs) out.push_back(o.logical);
    return out;
}

}  // namespace

struct WlrScreenCapture::Impl {
    std::shared_ptr<CompositorWindows> windows;
    // Both used on the worker thread alone.
    WlrScreencopyClient client;
    ScaledFrameCache frames;

    std::atomic<bool> usable{true};

    Impl(std::shared_ptr<CompositorWindows> w, std::string display) : windows(std::move(w)), client(std::move(display)) {}

    std::variant<std::vector<WaylandOutput>, std::string> outputs() {
        auto result = client.outputs();
        usable = client.usable();
        return result;
    }

    platform::ContentResult content() {
        auto listed = outputs();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        const auto& outs = std::get<std::vector<WaylandOutput>>(listed);
        const auto rects = places(outs);
        const int bottom = OutputGeometry::layoutBottom(rects);
        platform::ShareableContent content;
        for (const auto& o : outs) content.displays.push_back({o.name, o.logical.width, o.logical.height});
        if (windows) {
            auto listedWindows = windows->windows();
            // Topmost first, the focused window before all.
            std::reverse(listedWindows.begin(), listedWindows.end());
            std::stable_partition(listedWindows.begin(), listedWindows.end(), [](const auto& w) { return w.focused; });
            for (const auto& w : listedWindows) {
                if (!w.visible || w.frame.width <= 0 || w.frame.height <= 0) continue;
                const bool shown = std::any_of(rects.begin(), rects.end(), [&w](const DesktopRect& r) {
                    return OutputGeometry::intersect(r, w.frame).width > 0;
                });
                content.windows.push_back({w.id, w.pid, shown, OutputGeometry::toPoints(w.frame, bottom)});
            }
        }
        // The agent's own panels, so that the reader leaves them out of a display.
        std::uint64_t index = 0;
        for (const auto& frame : OwnWindows::shared().frames())
            content.windows.push_back({kOwnWindowBase + index++, static_cast<int>(getpid()), true,
                                       OutputGeometry::toPoints(frame, bottom)});
        return content;
    }

    platform::CaptureResult window(const platform::ShareableWindow& asked, int width, int height) {
        if (asked.id >= kOwnWindowBase) return platform::CaptureError{"the agent's own panels are not captured"};
        if (!windows) return platform::CaptureError{"the compositor does not tell where windows are"};
        std::optional<DesktopRect> frame;
        for (const auto& w : windows->windows())
            if (w.id == asked.id && w.visible) frame = w.frame;
        if (!frame) return platform::CaptureError{"the window is no longer on screen"};
        auto listed = outputs();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        const auto& outs = std::get<std::vector<WaylandOutput>>(listed);
        const auto index = OutputGeometry::outputOf(places(outs), *frame);
        if (!index) return platform::CaptureError{"the window is on no display"};
        const auto& output = outs[*index];
        auto captured = client.capture(output.name, OutputGeometry::onOutput(output.logical, *frame));
        if (auto* error = std::get_if<std::string>(&captured)) return platform::CaptureError{*error};
        return frames.scaled(std::get<platform::Image>(captured), width, height);
    }

    platform::CaptureResult display(std::uint64_t id, const std::vector<platform::ShareableWindow>& excluding, int width,
                                    int height) {
        auto listed = outputs();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        const auto& outs = std::get<std::vector<WaylandOutput>>(listed);
        auto output = std::find_if(outs.begin(), outs.end(), [id](const auto& o) { return o.name == id; });
        if (output == outs.end()) return platform::CaptureError{"the display is no longer connected"};
        auto captured = client.capture(output->name);
        if (auto* error = std::get_if<std::string>(&captured)) return platform::CaptureError{*error};
        auto& image = std::get<platform::Image>(captured);
        // The compositor copies what is shown, so a left-out window is painted over where it lies;
        // the panels are read again here, as they may have moved since the content was listed.
        const int bottom = OutputGeometry::layoutBottom(places(outs));
        std::vector<DesktopRect> hidden = OwnWindows::shared().frames();
        for (const auto& w : excluding) hidden.push_back(OutputGeometry::fromPoints(w.frame, bottom));
        OutputGeometry::blank(image, output->logical, hidden);
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

void WlrScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    worker_->post([impl = impl_, completion = std::move(completion)](bool live) {
        if (!live) return completion(platform::CaptureError{"screen capture has stopped"});
        completion(impl->content());
    });
}

void WlrScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                     std::function<void(platform::CaptureResult)> completion) {
    if (pixelWidth <= 0 || pixelHeight <= 0) return completion(platform::CaptureError{"the requested size is empty"});
    worker_->post([impl = impl_, window, pixelWidth, pixelHeight, completion = std::move(completion)](bool live) {
        if (!live) return completion(platform::CaptureError{"screen capture has stopped"});
        completion(impl->window(window, pixelWidth, pixelHeight));
    });
}

void WlrScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                      const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                      int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    if (pixelWidth <= 0 || pixelHeight <= 0) return completion(platform::CaptureError{"the requested size is empty"});
    worker_->post([impl = impl_, id = display.id, excluding, pixelWidth, pixelHeight,
                 completion = std::move(completion)](bool live) {
        if (!live) return completion(platform::CaptureError{"screen capture has stopped"});
        completion(impl->display(id, excluding, pixelWidth, pixelHeight));
    });
}

}  // namespace linuxplatform
