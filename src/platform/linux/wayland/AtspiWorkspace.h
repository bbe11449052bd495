#pragma once
// The workspace on a Wayland session. The frontmost application and its activations come from the
// compositor where it tells them exactly (sway IPC, a KWin script), and otherwise from AT-SPI
// (window activation, focus as a fallback, the application's process id); key-downs come from
// AT-SPI keystroke events, heard on a connection of their own (KeystrokeListener), or where the
// toolkit sends none (GTK 4) from the focused field's text changes, kept only as delete or not.
// Every libatspi call runs on the shared AT-SPI thread; handlers run on the main thread.
#include <memory>
#include <string>

#include "platform/Workspace.h"
#include "platform/linux/wayland/CompositorFocus.h"

namespace linuxplatform {

class Consent;

class AtspiWorkspace final : public platform::Workspace {
public:
    // Without `compositor` the activations are AT-SPI's. With `consent`, AT-SPI is listened to only
    // while the user agrees to typed-text reading; main thread.
    explicit AtspiWorkspace(std::shared_ptr<CompositorFocus> compositor = nullptr,
                            std::shared_ptr<Consent> consent = nullptr);
    ~AtspiWorkspace() override;
    AtspiWorkspace(const AtspiWorkspace&) = delete;
    AtspiWorkspace& operator=(const AtspiWorkspace&) = delete;

    std::optional<platform::RunningApplication> frontmostApplication() override;
    std::shared_ptr<platform::Registration> addActivationObserver(
        std::function<void(const std::optional<platform::RunningApplication>&)> handler) override;
    void removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) override;
    // Keystrokes are asked of AT-SPI only while a monitor's registration is held.
    std::shared_ptr<platform::Registration> addGlobalKeyDownMonitor(std::function<void(int keyCode)> handler) override;
    int ownPid() const override;
    std::string bundlePath() const override;

    // The key code the logic sees for a keystroke (its keysym, or its name where a toolkit sends
    // no keysym): 51 BackSpace, 117 Delete and keypad Delete, 0 anything else.
    static int keyCodeForStroke(unsigned keysym, const char* name);
    // An application as the logic knows it: named by `name`, else by the process's command name;
    // identified by its name, or by the agent's own identifier when it is the agent.
    static platform::RunningApplication applicationOf(int pid, const std::string& name, int ownPid);
    // The application of a compositor's window.
    static platform::RunningApplication applicationOf(const CompositorWindow& window, int ownPid);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace linuxplatform
