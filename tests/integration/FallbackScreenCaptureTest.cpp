// The capture order of a Wayland session as the agent serves it: a backend that refuses for good
// hands over to the next one, made only then, and a failure that may pass hands over nothing.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/linux/wayland/FallbackScreenCapture.h"

namespace {

using linuxplatform::FallbackScreenCapture;

// A backend whose answers the test sets: every capture fails with `error`, or succeeds without it.
class Scripted final : public platform::ScreenCapture, public linuxplatform::CaptureRefusal {
public:
    std::optional<std::string> refusal, error;
    bool permitted = true;
    int requests = 0, captures = 0;

    std::optional<std::string> refusedForGood() const override { return refusal; }
    bool preflight() override { return permitted; }
    void request() override { ++requests; }
    void shareableContent(std::function<void(platform::ContentResult)> completion) override {
        ++captures;
        if (error) return completion(platform::CaptureError{*error});
        completion(platform::ShareableContent{});
    }
    void captureWindow(const platform::ShareableWindow&, int, int, std::function<void(platform::CaptureResult)> completion) override {
        ++captures;
        if (error) return completion(platform::CaptureError{*error});
        completion(std::make_shared<const platform::Image>());
    }
    void captureDisplay(const platform::ShareableDisplay&, const std::vector<platform::ShareableWindow>&, int, int,
                        std::function<void(platform::CaptureResult)> completion) override {
        ++captures;
        if (error) return completion(platform::CaptureError{*error});
        completion(std::make_shared<const platform::Image>());
    }
};

// The diagnostic log as the platform would write it.
class RecordedLog final : public platform::Files {
public:
    std::vector<std::string> lines;
    std::string applicationSupportDirectory() const override { return "/nonexistent"; }
    std::optional<std::string> readFile(const std::string&) override { return std::nullopt; }
    bool appendLog(const std::string&, const std::string& bytes) override {
        lines.push_back(bytes.substr(bytes.find("  ") + 2));
        return true;
    }
    std::optional<std::string> resourcePath(const std::string&, const std::string&) const override { return std::nullopt; }
};

class FixedClock final : public platform::Clock {
public:
    platform::TimePoint now() const override { return {}; }
    int localHour(platform::TimePoint) const override { return 0; }
};

bool failed(platform::ScreenCapture& capture) {
    bool error = false;
    capture.captureDisplay({1, 100, 100}, {}, 10, 10, [&](platform::CaptureResult r) {
        error = std::holds_alternative<platform::CaptureError>(r);
    });
    return error;
}

TEST(FallbackScreenCaptureTest, ARefusalHandsOverOnceToTheNextMadeThenAndAPassingFailureDoesNot) {
    auto log = std::make_shared<RecordedLog>();
    platform::Services services;
    services.files = log;
    services.clock = std::make_shared<FixedClock>();
    platform::install(services);

    auto compositor = std::make_shared<Scripted>();
    std::weak_ptr<Scripted> compositorAlive = compositor;
    std::shared_ptr<Scripted> portal;
    int portalsMade = 0;
    FallbackScreenCapture capture({{"kwin-screenshot", [&compositor]() mutable { return std::move(compositor); }},
                                   {"portal+pipewire", [&] {
                                        ++portalsMade;
                                        portal = std::make_shared<Scripted>();
                                        portal->permitted = false;  // until the user has chosen a screen
                                        return portal;
                                    }}});
    EXPECT_EQ(capture.serving(), "kwin-screenshot");

    // No frame yet, a compositor slow to answer: the compositor's capture stays.
    compositorAlive.lock()->error = "the compositor did not offer a frame in time";
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(failed(capture));
    EXPECT_TRUE(capture.preflight());
    EXPECT_EQ(portalsMade, 0);
    EXPECT_EQ(compositorAlive.lock()->captures, 3);

    // The compositor refuses the agent: the next call finds it, the portal is made and asked to start.
    compositorAlive.lock()->refusal = "KWin does not allow the agent to take screenshots";
    EXPECT_FALSE(capture.preflight());
    EXPECT_EQ(portalsMade, 1);
    EXPECT_EQ(portal->requests, 1);
    EXPECT_EQ(capture.serving(), "portal+pipewire");
    EXPECT_TRUE(compositorAlive.expired());  // its thread and connection go with it
    portal->permitted = true;
    EXPECT_FALSE(failed(capture));
    capture.request();
    EXPECT_EQ(portal->captures, 1);
    EXPECT_EQ(portal->requests, 2);
    EXPECT_EQ(portalsMade, 1);
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0],
              "CAPTURE kwin-screenshot refused for good (KWin does not allow the agent to take screenshots); "
              "falling back to portal+pipewire\n");

    // The last one refusing has nobody to hand over to: it keeps serving, and the log says so once.
    portal->refusal = "the screen sharing was refused";
    portal->error = "the screen sharing was refused";
    EXPECT_TRUE(failed(capture));
    EXPECT_TRUE(failed(capture));
    EXPECT_EQ(portal->captures, 3);
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_NE(log->lines[1].find("portal+pipewire refused for good"), std::string::npos) << log->lines[1];
    platform::install({});

    // A backend that could not be made serves the reason.
    FallbackScreenCapture broken({{"portal+pipewire", [] { return std::shared_ptr<platform::ScreenCapture>(); }}});
    EXPECT_FALSE(broken.preflight());
    std::string why;
    broken.shareableContent([&](platform::ContentResult r) { why = std::get<platform::CaptureError>(r).description; });
    EXPECT_NE(why.find("portal+pipewire"), std::string::npos);
}

}  // namespace
