#pragma once
// The workspace on an X11 session: the active window's application (EWMH), activation
// notices (one per change of application, not of window) and delete-key presses from a watcher
// thread with its own connection.
#include <memory>

#include "platform/Workspace.h"

namespace linuxplatform {

class X11Workspace final : public platform::Workspace {
public:
    X11Workspace();
    ~X11Workspace() override;
    X11Workspace(const X11Workspace&) = delete;
    X11Workspace& operator=(const X11Workspace&) = delete;

    std::optional<platform::RunningApplication> frontmostApplication() override;
    std::shared_ptr<platform::Registration> addActivationObserver(
        std::function<void(const std::optional<platform::RunningApplication>&)> handler) override;
    void removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) override;
    std::shared_ptr<platform::Registration> addGlobalKeyDownMonitor(std::function<void(int keyCode)> handler) override;
    int ownPid() const override;
    std::string bundlePath() const override;

    // The key code the logic sees for an X keysym: 51 BackSpace, 117 Delete, 0 anything else.
    static int keyCodeForKeysym(unsigned long keysym);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace linuxplatform
