#include "platform/linux/consent/ConsentWorkspace.h"

#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/SessionLock.h"

namespace linuxplatform {

namespace {
// Monitors are never removed by their callers; this only stands for one.
class KeyMonitor final : public platform::Registration {};
}  // namespace

ConsentWorkspace::ConsentWorkspace(std::shared_ptr<Consent> consent, std::shared_ptr<platform::Workspace> workspace)
    : consent_(std::move(consent)), workspace_(std::move(workspace)) {}

void ConsentWorkspace::followConsent() {
    std::weak_ptr<ConsentWorkspace> weak = shared_from_this();
    consent_->onChange([weak] {
        if (auto self = weak.lock()) self->follow();
    });
}

void ConsentWorkspace::followLock(std::shared_ptr<SessionLock> lock) {
    lock_ = std::move(lock);
    std::weak_ptr<ConsentWorkspace> weak = shared_from_this();
    lock_->onChange([weak] {
        if (auto self = weak.lock()) self->follow();
    });
    follow();
}

void ConsentWorkspace::follow() {
    const bool listen = consent_->typedText() && !(lock_ && lock_->locked()) && !keyHandlers_.empty();
    if (!listen) {
        keys_.reset();
        return;
    }
    if (keys_) return;
    std::weak_ptr<ConsentWorkspace> weak = weak_from_this();
    keys_ = workspace_->addGlobalKeyDownMonitor([weak](int keyCode) {
        auto self = weak.lock();
        // A key already on its way when the consent was withdrawn goes no further.
        if (!self || !self->keys_ || !self->consent_->typedText()) return;
        if (self->lock_ && self->lock_->locked()) return;
        const auto handlers = self->keyHandlers_;
        for (const auto& handler : handlers) handler(keyCode);
    });
}

std::optional<platform::RunningApplication> ConsentWorkspace::frontmostApplication() {
    // Where the desktop tells nothing of the agent's own windows (GNOME tells only through AT-SPI,
    // which the agent's Qt may not be on), Qt knows when one of them has the focus.
    if (OwnWindows::shared().anyActive()) {
        platform::RunningApplication self;
        self.pid = workspace_->ownPid();
        self.bundleIdentifier = "com.wellspire.agent";
        self.localizedName = "Wellspire Agent";
        return self;
    }
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
    keyHandlers_.push_back(std::move(handler));
    follow();
    return std::make_shared<KeyMonitor>();
}

int ConsentWorkspace::ownPid() const { return workspace_->ownPid(); }
std::string ConsentWorkspace::bundlePath() const { return workspace_->bundlePath(); }

}  // namespace linuxplatform
