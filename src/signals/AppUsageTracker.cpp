#include "signals/AppUsageTracker.h"

#include "backend/Backend.h"
#include "backend/JsonRead.h"
#include "platform/Platform.h"

namespace {

std::optional<std::string> displayName(const std::optional<platform::RunningApplication>& app) {
    if (!app) return std::nullopt;
    return app->localizedName;
}

}  // namespace

std::shared_ptr<AppUsageTracker> AppUsageTracker::create() {
    return std::shared_ptr<AppUsageTracker>(new AppUsageTracker());
}

AppUsageTracker::AppUsageTracker() : appStartedAt(platform::clock().now()) {}

void AppUsageTracker::start() {
    std::weak_ptr<AppUsageTracker> weak = weak_from_this();
    refreshTimer = platform::mainLoop().scheduleRepeating(refreshSeconds, [weak] {
        if (auto self = weak.lock()) self->refreshEnabled();
    });
    refreshEnabled();
    reportTimer = platform::mainLoop().scheduleRepeating(reportSeconds, [weak] {
        if (auto self = weak.lock()) self->report();
    });
}

void AppUsageTracker::refreshEnabled() {
    std::weak_ptr<AppUsageTracker> weak = weak_from_this();
    Backend::get("/api/agent_prefs", [weak](std::optional<nlohmann::json> reply) {
        const bool desired = reply && JsonRead::boolean(*reply, "track_app_usage").value_or(false);
        platform::mainLoop().post([weak, desired] {
            if (auto self = weak.lock()) self->apply(desired);
        });
    });
}

void AppUsageTracker::apply(bool desired) {
    if (desired == enabled) return;
    if (desired) {
        beginTracking();
        return;
    }
    closeCurrentSpan();
    enabled = false;
    currentApp.reset();
    if (observer) {
        if (auto& workspace = platform::get().workspace) workspace->removeActivationObserver(observer);
        observer.reset();
    }
    accumulated.clear();
}

void AppUsageTracker::beginTracking() {
    enabled = true;
    auto& workspace = platform::get().workspace;
    currentApp = workspace ? displayName(workspace->frontmostApplication()) : std::nullopt;
    appStartedAt = platform::clock().now();
    if (!workspace) return;
    std::weak_ptr<AppUsageTracker> weak = weak_from_this();
    observer = workspace->addActivationObserver([weak](const std::optional<platform::RunningApplication>& app) {
        if (auto self = weak.lock()) self->activated(app);
    });
}

void AppUsageTracker::activated(const std::optional<platform::RunningApplication>& app) {
    if (!enabled) return;
    closeCurrentSpan();
    currentApp = displayName(app);
    appStartedAt = platform::clock().now();
}

void AppUsageTracker::closeCurrentSpan() {
    if (!enabled || !currentApp) return;
    const double elapsed = platform::secondsBetween(appStartedAt, platform::clock().now());
    if (!(elapsed > 0)) return;
    accumulated[*currentApp] += elapsed;
}

void AppUsageTracker::report() {
    if (!enabled) return;
    closeCurrentSpan();
    appStartedAt = platform::clock().now();
    if (accumulated.empty()) return;
    std::map<std::string, double> totals;
    totals.swap(accumulated);
    Backend::logAppUsage(totals);
}
