#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/Workspace.h"

// Foreground time per application display name, reported once a minute while the dashboard
// allows it. While tracking is off nothing is measured, kept or sent.
class AppUsageTracker : public std::enable_shared_from_this<AppUsageTracker> {
public:
    static std::shared_ptr<AppUsageTracker> create();

    void start();
    // Asks the backend whether tracking is allowed; the answer is applied on the main thread.
    void refreshEnabled();
    void report();

    static constexpr double refreshSeconds = 60;
    static constexpr double reportSeconds = 60;

    bool isEnabled() const { return enabled; }
    const std::optional<std::string>& current() const { return currentApp; }
    const std::map<std::string, double>& totals() const { return accumulated; }

private:
    AppUsageTracker();
    void apply(bool desired);
    void beginTracking();
    void closeCurrentSpan();
    void activated(const std::optional<platform::RunningApplication>& app);

    bool enabled = false;
    std::optional<std::string> currentApp;
    platform::TimePoint appStartedAt;
    std::map<std::string, double> accumulated;
    std::shared_ptr<platform::Registration> observer;
    std::shared_ptr<platform::Timer> refreshTimer;
    std::shared_ptr<platform::Timer> reportTimer;
};
