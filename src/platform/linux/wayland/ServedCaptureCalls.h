#pragma once
// The capture calls of a backend whose `Source` does the work on a CaptureWorker's thread, with
// `content()`, `window(window, pixelWidth, pixelHeight)` and `display(id, excluding, pixelWidth,
// pixelHeight)`. An empty size is refused at once; a call that finds the worker stopped completes
// with an error. Either way every call completes exactly once.
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/wayland/CaptureWorker.h"

namespace linuxplatform::servedcapture {

inline constexpr const char* kStopped = "screen capture has stopped";
inline constexpr const char* kEmptySize = "the requested size is empty";

template <class Source>
void content(CaptureWorker& worker, std::shared_ptr<Source> source,
             std::function<void(platform::ContentResult)> completion) {
    worker.post([source = std::move(source), completion = std::move(completion)](bool live) {
        if (!live) return completion(platform::CaptureError{kStopped});
        completion(source->content());
    });
}

template <class Source>
void window(CaptureWorker& worker, std::shared_ptr<Source> source, const platform::ShareableWindow& window,
            int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    if (pixelWidth <= 0 || pixelHeight <= 0) return completion(platform::CaptureError{kEmptySize});
    worker.post([source = std::move(source), window, pixelWidth, pixelHeight,
                 completion = std::move(completion)](bool live) {
        if (!live) return completion(platform::CaptureError{kStopped});
        completion(source->window(window, pixelWidth, pixelHeight));
    });
}

template <class Source>
void display(CaptureWorker& worker, std::shared_ptr<Source> source, const platform::ShareableDisplay& display,
             const std::vector<platform::ShareableWindow>& excluding, int pixelWidth, int pixelHeight,
             std::function<void(platform::CaptureResult)> completion) {
    if (pixelWidth <= 0 || pixelHeight <= 0) return completion(platform::CaptureError{kEmptySize});
    worker.post([source = std::move(source), id = display.id, excluding, pixelWidth, pixelHeight,
                 completion = std::move(completion)](bool live) {
        if (!live) return completion(platform::CaptureError{kStopped});
        completion(source->display(id, excluding, pixelWidth, pixelHeight));
    });
}

}  // namespace linuxplatform::servedcapture
