#pragma once
// The workspace as the user allowed it: the timing of key presses reaches the agent only while the
// user agrees to typed-text reading. Which application is in front is not gated: it reads nothing
// the user writes, and its reports are switched on and off by the dashboard.
#include <memory>

#include "platform/Workspace.h"

namespace linuxplatform {

class Consent;

class ConsentWorkspace final : public platform::Workspace {
public:
    ConsentWorkspace(std::shared_ptr<Consent> consent, std::shared_ptr<platform::Workspace> workspace);
    std::optional<platform::RunningApplication> frontmostApplication() override;
    std::shared_ptr<platform::Registration> addActivationObserver(
        std::function<void(const std::optional<platform::RunningApplication>&)> handler) override;
    void removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) override;
    std::shared_ptr<platform::Registration> addGlobalKeyDownMonitor(std::function<void(int keyCode)> handler) override;
    int ownPid() const override;
    std::string bundlePath() const override;

private:
    std::shared_ptr<Consent> consent_;
    std::shared_ptr<platform::Workspace> workspace_;
};

}  // namespace linuxplatform
