#pragma once
// KDE Plasma's active window, told by KWin itself: a small KWin script, loaded through KWin's
// scripting interface, calls the agent over the session bus at every activation with the window's
// pid, class and frame. KWin tells only of the active window; it is the whole snapshot. A KWin that
// restarts gets the script again, and only its new bus name is heard.
#include <memory>
#include <string>

#include "platform/linux/common/FocusedWindow.h"
#include "platform/linux/wayland/CompositorFocus.h"
#include "platform/linux/wayland/CompositorWindows.h"

namespace linuxplatform {

class KWinScriptWatcher final : public CompositorWindows, public CompositorFocus {
public:
    static constexpr const char* objectPath = "/com/wellspire/agent/ActiveWindow";
    static constexpr const char* interfaceName = "com.wellspire.agent.ActiveWindow";
    static constexpr const char* pluginName = "wellspire-agent-active-window";

    // Whether KWin is on the session bus. Main thread.
    static bool available();

    // Main thread, with the QApplication up: exports the receiving object and loads the script.
    KWinScriptWatcher();
    ~KWinScriptWatcher() override;
    KWinScriptWatcher(const KWinScriptWatcher&) = delete;
    KWinScriptWatcher& operator=(const KWinScriptWatcher&) = delete;

    std::vector<CompositorWindow> windows() const override;
    std::optional<CompositorWindow> focusedWindow() const override;
    // The handler runs on the main thread, where KWin's calls arrive.
    void followFocus(FocusHandler handler) override;
    FocusedWindowQuery focusedWindowQuery() const;

    // The script that reports to `service` (our bus name) at `objectPath`.
    static std::string script(const std::string& service);
    // The window a report names; nothing for a report of no active window or one that cannot be read.
    static std::optional<CompositorWindow> windowOfReport(const std::string& report);

    // A report as it arrives, from `sender` (a unique bus name); only KWin's own count.
    void received(const std::string& sender, const std::string& report);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace linuxplatform
