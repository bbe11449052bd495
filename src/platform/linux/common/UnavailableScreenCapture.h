#pragma once
// The screen capture of a session that offers none the agent can use: never permitted, and every
// call completes at once with the reason, so the status says so instead of turning green.
#include <string>

#include "platform/ScreenCapture.h"

namespace linuxplatform {

class UnavailableScreenCapture final : public platform::ScreenCapture {
public:
    explicit UnavailableScreenCapture(std::string reason) : reason_(std::move(reason)) {}

    bool preflight() override { return false; }
    void request() override {}
    void shareableContent(std::function<void(platform::ContentResult)> completion) override {
        completion(platform::CaptureError{reason_});
    }
    void captureWindow(const platform::ShareableWindow&, int, int,
                       std::function<void(platform::CaptureResult)> completion) override {
        completion(platform::CaptureError{reason_});
    }
    void captureDisplay(const platform::ShareableDisplay&, const std::vector<platform::ShareableWindow>&, int, int,
                        std::function<void(platform::CaptureResult)> completion) override {
        completion(platform::CaptureError{reason_});
    }

private:
    std::string reason_;
};

}  // namespace linuxplatform
