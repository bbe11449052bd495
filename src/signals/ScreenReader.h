#pragma once
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/ScreenCapture.h"
#include "platform/Workspace.h"

// The second source of text: every 1.2 seconds one still image of the frontmost window (or of
// the display without the agent's own windows), recognised on the device and judged by the
// backend in two steps (scan, then confirm in context).
class ScreenReader : public std::enable_shared_from_this<ScreenReader> {
public:
    static std::shared_ptr<ScreenReader> create();

    // Starts the 1.2-second timer; the caller calls it once.
    void start();

    static constexpr double tickSeconds = 1.2;
    static constexpr const char* ownBundleIdentifier = "com.wellspire.agent";
    static constexpr double minimumWindowSide = 200;
    static constexpr double longestSidePixels = 3840;
    static constexpr double largestScale = 2.0;
    static constexpr std::size_t longestText = 4000;
    static constexpr std::size_t shortestText = 8;
    static constexpr double phraseRepeatSeconds = 40;
    static constexpr double quietSeconds = 15;

    struct Target {
        bool isWindow = false;
        platform::ShareableWindow window;
        platform::ShareableDisplay display;
        std::vector<platform::ShareableWindow> excluded;
        int pixelWidth = 0;
        int pixelHeight = 0;
    };

    // Pixel size of a source of w × h points, scaled by a whole factor (2×, else 1×; halved for a
    // source past 3840 points) so that whatever moved by whole points moves by whole pixels and a
    // scrolled line scales to the same pixels: the reader finds it in its cache at any window size.
    static std::pair<int, int> pixelSize(double width, double height);
    static std::optional<Target> chooseTarget(const platform::ShareableContent& content,
                                              const std::optional<platform::RunningApplication>& frontmost,
                                              int ownPid);
    // The agent's own dashboard is never sent.
    static bool isOwnDashboard(const std::string& text);

    // One timer firing, on the main thread.
    void timerFired();
    // One capture cycle, on a worker thread.
    void tick();
    // The recognised screen text, on the cycle's worker thread.
    void handle(const std::string& text);
    // Reply handlers, on the HTTP callback queue.
    void handleScanReply(const std::optional<nlohmann::json>& reply, const std::string& text);
    void handleConfirmReply(const std::optional<nlohmann::json>& reply, const std::string& phrase);

    bool isBusy() const { return busy.load(); }
    const std::string& lastHandledText() const { return lastText; }

private:
    ScreenReader() = default;
    void captured(const platform::CaptureResult& result);
    void recognize(const platform::Image& image);
    void failed(const platform::CaptureError& error);
    // Whether the screen may still be read, asked again before its text leaves; any thread.
    static bool stillPermitted();

    std::shared_ptr<platform::Timer> timer;
    // Worker (inside a cycle) only.
    std::string lastText;
    // Callback queue only.
    platform::TimePoint quietUntil = platform::Clock::distantPast();
    std::atomic<bool> busy{false};
    // A cycle handed to the worker that has not started yet: a stalled worker gets no second one.
    std::atomic<bool> scheduled{false};
    std::string lastPopPhrase;
    platform::TimePoint lastPopAt = platform::Clock::distantPast();
};
