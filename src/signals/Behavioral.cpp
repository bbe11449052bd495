#include "signals/Behavioral.h"

#include <algorithm>

#include "backend/Backend.h"
#include "platform/Platform.h"

std::shared_ptr<Behavioral> Behavioral::create() { return std::shared_ptr<Behavioral>(new Behavioral()); }

Behavioral::Behavioral()
    : lastSwitch(platform::clock().now()), lastTick(lastSwitch), started(lastSwitch) {}

void Behavioral::start() {
    std::weak_ptr<Behavioral> weak = weak_from_this();
    if (auto& workspace = platform::get().workspace) {
        activationObserver = workspace->addActivationObserver([weak](const std::optional<platform::RunningApplication>&) {
            if (auto self = weak.lock()) self->activation();
        });
        keyMonitor = workspace->addGlobalKeyDownMonitor([weak](int keyCode) {
            if (auto self = weak.lock()) self->keyDown(keyCode);
        });
    }
    tickTimer = platform::mainLoop().scheduleRepeating(tickSeconds, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    reportTimer = platform::mainLoop().scheduleRepeating(reportSeconds, [weak] {
        if (auto self = weak.lock()) self->report();
    });
}

void Behavioral::activation() {
    const platform::TimePoint now = platform::clock().now();
    switchTimes.push_back(now);
    const double since = platform::secondsBetween(lastSwitch, now);
    if (since > longest) longest = since;
    lastSwitch = now;
}

void Behavioral::keyDown(int keyCode) {
    const platform::TimePoint now = platform::clock().now();
    keyTimes.push_back(now);
    if (keyCode == deleteKeyCode || keyCode == forwardDeleteKeyCode) backTimes.push_back(now);
}

void Behavioral::tick() {
    const platform::TimePoint now = platform::clock().now();
    const double dt = platform::secondsBetween(lastTick, now);
    lastTick = now;
    if (platform::clock().localHour(now) <= lateNightLastHour) lateMs += dt;
}

void Behavioral::trim(std::deque<platform::TimePoint>& times, platform::TimePoint before) {
    while (!times.empty() && times.front() < before) times.pop_front();
}

nlohmann::json Behavioral::report() {
    const platform::TimePoint now = platform::clock().now();
    const platform::TimePoint cutoff = platform::addSeconds(now, -windowSeconds);
    trim(switchTimes, cutoff);
    trim(keyTimes, cutoff);
    trim(backTimes, cutoff);

    const double elapsed = platform::secondsBetween(started, now);
    double hours = 0.25;
    if (elapsed < windowSeconds) hours = std::max(elapsed / 3600.0, leastHours);

    const auto s = static_cast<double>(switchTimes.size());
    const auto k = static_cast<double>(keyTimes.size());
    const auto b = static_cast<double>(backTimes.size());
    const double tabSwitches = std::min(s / hours, maxSwitchesPerHour);

    nlohmann::json body = {
        {"tab_switches", tabSwitches},
        {"interruptions", interruptionFactor * tabSwitches},
        {"avg_session_min", s > 0 ? longest / 60.0 : defaultSessionMinutes},
        {"backspace_rate", k > 0 ? b / k : 0.0},
        {"late_night_min", lateMs / 60.0},
        {"active_minutes", elapsed / 60.0},
    };
    Backend::log(body);
    longest = 0;
    return body;
}
