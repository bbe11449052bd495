#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

struct RunningApplication {
    std::optional<std::string> bundleIdentifier;
    int pid = 0;
    std::optional<std::string> localizedName;
};

// A registration that stays until removed (or forever, when never removed).
class Registration {
public:
    virtual ~Registration() = default;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Called on the main thread whenever another application becomes active (not for another
    // window of the active one; see ApplicationChange).
    virtual std::shared_ptr<Registration> addActivationObserver(
        std::function<void(const std::optional<RunningApplication>&)> handler) = 0;
    virtual void removeActivationObserver(const std::shared_ptr<Registration>& registration) = 0;
    // Called on the main thread for every key-down aimed at another application, with the
    // key code of the macOS table as far as it matters: 51 Delete (BackSpace), 117 Forward Delete.
    virtual std::shared_ptr<Registration> addGlobalKeyDownMonitor(std::function<void(int keyCode)> handler) = 0;
    virtual int ownPid() const = 0;
    // The folder the running program lives in.
    virtual std::string bundlePath() const = 0;
};

// Each opened wellspire: URL reaches the handler on the main thread; the argument is the
// event's direct-object string, or nothing when the event has none.
class UrlEvents {
public:
    virtual ~UrlEvents() = default;
    virtual void setGetURLHandler(std::function<void(const std::optional<std::string>&)> handler) = 0;
};

}  // namespace platform
