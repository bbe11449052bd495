#pragma once
#include <deque>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/Workspace.h"

// Timing-only usage signals: when an application becomes active, when a key goes down and
// whether it was a delete key, and time spent in the small hours. Reports six metrics every
// 45 seconds. Never records characters, other key codes, or which application.
class Behavioral : public std::enable_shared_from_this<Behavioral> {
public:
    static std::shared_ptr<Behavioral> create();

    // Registers the activation and key-down sources and the two timers; call once.
    void start();

    static constexpr double windowSeconds = 900;
    static constexpr double tickSeconds = 2;
    static constexpr double reportSeconds = 45;
    static constexpr int lateNightLastHour = 4;
    static constexpr int deleteKeyCode = 51;
    static constexpr int forwardDeleteKeyCode = 117;
    static constexpr double maxSwitchesPerHour = 120;
    static constexpr double interruptionFactor = 0.7;
    static constexpr double leastHours = 0.01;
    static constexpr double defaultSessionMinutes = 50;

    void activation();
    void keyDown(int keyCode);
    void tick();
    // Builds the metrics, sends them and resets `longest`; returns what was sent.
    nlohmann::json report();

    // Timestamps held for the current window, read by tests.
    std::size_t switchesHeld() const { return switchTimes.size(); }
    std::size_t keysHeld() const { return keyTimes.size(); }
    std::size_t deletesHeld() const { return backTimes.size(); }

    // Drops the leading entries earlier than the cutoff; one exactly at it stays.
    static void trim(std::deque<platform::TimePoint>& times, platform::TimePoint before);

private:
    Behavioral();

    std::deque<platform::TimePoint> switchTimes;
    std::deque<platform::TimePoint> keyTimes;
    std::deque<platform::TimePoint> backTimes;
    platform::TimePoint lastSwitch;
    double longest = 0;
    double lateMs = 0;  // seconds, despite the name
    platform::TimePoint lastTick;
    const platform::TimePoint started;
    std::shared_ptr<platform::Registration> keyMonitor;
    std::shared_ptr<platform::Registration> activationObserver;
    std::shared_ptr<platform::Timer> tickTimer;
    std::shared_ptr<platform::Timer> reportTimer;
};
