#pragma once
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Windowing.h"

class Monitor;
class Behavioral;
class ScreenReader;
class AppUsageTracker;

// The agent shell: owns the four signal sources, runs the launch sequence, shows the state
// in the status area, gates monitoring on Accessibility and polls the pattern flags.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
public:
    static std::shared_ptr<AppDelegate> create();

    // The launch sequence, on the main thread once the event loop runs.
    void applicationDidFinishLaunching();
    void setStatus();
    static std::shared_ptr<platform::StatusImage> menubarEmblem();

    // Menu commands.
    void testAlert();
    void openDash();
    void checkPerm();
    void snooze1h();
    void snooze2h();
    void resumeNow();
    void toggleConnect();

    // Pairing callback delivery: the URL event's direct-object string, or nothing.
    void handleGetURLEvent(const std::optional<std::string>& directObject);
    void handlePairingCallback(const std::string& url);

    void startGatingPoll();

    // Read by tests and the shell.
    bool monitoringStarted() const { return monitoringStarted_; }
    bool screenStarted() const { return screenStarted_; }
    const std::shared_ptr<Monitor>& monitor() const { return monitor_; }
    const std::shared_ptr<Behavioral>& behavioral() const { return behavioral_; }
    const std::shared_ptr<ScreenReader>& screenReader() const { return screenReader_; }
    const std::shared_ptr<AppUsageTracker>& appUsage() const { return appUsage_; }

    static constexpr const char* kAxAlertShownKey = "ws.axAlertShown";
    static constexpr const char* kAccessibilitySettingsURL =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
    static constexpr const char* kScreenCaptureSettingsURL =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";

private:
    AppDelegate();
    void notifyPermission();
    void startTrustPoll();
    void trustPollFired();
    void startMonitoring();
    void buildMenu();
    void gatingTick();
    // On the HTTP callback queue only.
    void handleGatingReply(const std::optional<nlohmann::json>& reply);

    std::shared_ptr<platform::StatusItem> statusItem_;
    std::shared_ptr<platform::MenuItem> statusMenuItem_;
    std::shared_ptr<platform::MenuItem> connectMenuItem_;
    std::shared_ptr<Monitor> monitor_;
    std::shared_ptr<Behavioral> behavioral_;
    std::shared_ptr<ScreenReader> screenReader_;
    std::shared_ptr<AppUsageTracker> appUsage_;
    // Gating poll state, touched only on the callback queue.
    bool lastUrgent_ = false;
    bool lastGentle_ = false;
    bool gatingBaselined_ = false;
    bool monitoringStarted_ = false;
    bool screenStarted_ = false;
};
