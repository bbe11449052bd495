#pragma once
// Screen capture that keeps serving when a backend gives up for good. The backends wait in one order
// (the compositor's own first, then the portal), each made only when its turn comes, since making
// the portal's starts a session that asks the user. A backend that says it will not capture again
// in this run (KWin refusing the agent, a compositor without wlr-screencopy) hands over to the next,
// logged, at the next call; a failure that may pass (no frame yet, a slow compositor) changes nothing.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

// What a backend implements to tell that it has stopped for good.
class CaptureRefusal {
public:
    virtual ~CaptureRefusal() = default;
    // Why this backend will not capture again in this run; nothing while it may. Any thread.
    virtual std::optional<std::string> refusedForGood() const = 0;
};

class FallbackScreenCapture final : public platform::ScreenCapture {
public:
    struct Backend {
        std::string name;  // for the log: "kwin-screenshot", "portal+pipewire"
        std::function<std::shared_ptr<platform::ScreenCapture>()> make;
    };

    // The first backend is made now, the next one by the call that finds the one before it refused:
    // both on the caller's thread, the agent's main thread. The one taking over is asked to start
    // (`request`) at once: the call that found the refusal had passed the consent gate above.
    explicit FallbackScreenCapture(std::vector<Backend> order);
    ~FallbackScreenCapture() override;

    // The name of the backend serving now.
    std::string serving() const;

    bool preflight() override;
    void request() override;
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) override;

private:
    // The backend to use now, after handing over past every one that refused.
    std::shared_ptr<platform::ScreenCapture> current();

    mutable std::mutex mutex_;
    std::vector<Backend> order_;
    std::size_t index_ = 0;
    std::shared_ptr<platform::ScreenCapture> capture_;
    bool lastRefusalLogged_ = false;
};

}  // namespace linuxplatform
