#include "platform/linux/common/ConsentWorkspace.h"

#include "platform/linux/common/Consent.h"

namespace linuxplatform {

ConsentWorkspace::ConsentWorkspace(std::shared_ptr<Consent> consent, std::shared_ptr<platform::Workspace> workspace)
    : consent_(std::move(consent)), workspace_(std::move(workspace)) {}

std::optional<platform::RunningApplication> ConsentWorkspace::frontmostApplication() {
    return workspace_->frontmostApplication();
}

std::shared_ptr<platform::Registration> ConsentWorkspace::addActivationObserver(
    std::function<void(const std::optional<platform::RunningApplication>&)> handler) {
    return workspace_->addActivationObserver(std::move(handler));
}

void ConsentWorkspace::removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) {
    workspace_->removeActivationObserver(registration);
}

std::shared_ptr<platform::Registration> ConsentWorkspace::addGlobalKeyDownMonitor(std::function<void(int)> handler) {
    std::weak_ptr<Consent> consent = consent_;
    return workspace_->addGlobalKeyDownMonitor([consent, handler = std::move(handler)](int keyCode) {
        auto agreed = consent.lock();
        if (agreed && agreed->typedText()) handler(keyCode);
    });
}

int ConsentWorkspace::ownPid() const { return workspace_->ownPid(); }
std::string ConsentWorkspace::bundlePath() const { return workspace_->bundlePath(); }

}  // namespace linuxplatform
