#pragma once
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/MainLoop.h"

// Watches the focused input field: once a text has settled it goes to the backend, and the
// judgment may raise a crisis check-in (30 s cooldown) or a gentle one (4 s debounce).
class Monitor : public std::enable_shared_from_this<Monitor> {
public:
    static std::shared_ptr<Monitor> create();

    // Starts the 1.5-second tick; the caller calls it once.
    void start();

    static constexpr double tickSeconds = 1.5;
    static constexpr double settleSeconds = 1.1;
    static constexpr std::size_t minimumLength = 8;
    static constexpr double gentleDebounceSeconds = 4.0;
    static constexpr double crisisCooldownSeconds = 30.0;

    // One pass of the loop, on the main thread.
    void tick();
    // The judgment of a posted text, on the HTTP callback queue.
    void handleJudgment(const std::optional<nlohmann::json>& reply);

    const std::string& lastScannedText() const { return lastScanned; }
    const std::string& pendingText() const { return pending; }

private:
    Monitor() = default;

    std::shared_ptr<platform::Timer> timer;
    // Main thread only.
    std::string lastScanned;
    // Callback queue only.
    platform::TimePoint quietUntil = platform::Clock::distantPast();
    platform::TimePoint crisisQuietUntil = platform::Clock::distantPast();
    // Main thread only.
    std::string pending;
    platform::TimePoint pendingSince = platform::Clock::distantPast();
};
