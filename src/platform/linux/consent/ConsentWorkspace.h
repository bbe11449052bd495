#pragma once
// The workspace as the user allowed it: key presses are listened to only while the user agrees to
// typed-text reading. A withdrawal drops the listener itself (the X server or AT-SPI sends no more
// keys), not just what it hears; agreeing again starts it anew. Which application is in front is
// not gated: it reads nothing the user writes, and its reports are switched on and off by the
// dashboard.
#include <functional>
#include <memory>
#include <vector>

#include "platform/Workspace.h"

namespace linuxplatform {

class Consent;
class SessionLock;

class ConsentWorkspace final : public platform::Workspace, public std::enable_shared_from_this<ConsentWorkspace> {
public:
    ConsentWorkspace(std::shared_ptr<Consent> consent, std::shared_ptr<platform::Workspace> workspace);
    // Main thread, once, after construction: from then on the listener follows the consent.
    void followConsent();
    // Main thread, once: while the session is locked the listener is dropped, as on a withdrawal.
    void followLock(std::shared_ptr<SessionLock> lock);

    std::optional<platform::RunningApplication> frontmostApplication() override;
    std::shared_ptr<platform::Registration> addActivationObserver(
        std::function<void(const std::optional<platform::RunningApplication>&)> handler) override;
    void removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) override;
    // Main thread.
    std::shared_ptr<platform::Registration> addGlobalKeyDownMonitor(std::function<void(int keyCode)> handler) override;
    int ownPid() const override;
    std::string bundlePath() const override;

    // Whether the workspace below is asked for keys now.
    bool listeningForKeys() const { return keys_ != nullptr; }

private:
    void follow();
    std::shared_ptr<Consent> consent_;
    std::shared_ptr<platform::Workspace> workspace_;
    std::vector<std::function<void(int)>> keyHandlers_;
    std::shared_ptr<platform::Registration> keys_;  // the workspace's monitor, while agreed
    std::shared_ptr<SessionLock> lock_;
};

}  // namespace linuxplatform
