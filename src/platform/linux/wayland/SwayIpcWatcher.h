#pragma once
// Sway's windows through its IPC socket ($SWAYSOCK): a snapshot of every view (pid, app_id, frame,
// focus, visibility) kept fresh on a thread of its own from window and workspace events, and the
// focused window's changes told as they happen. A sway that restarts on the same socket is
// followed again once it answers.
#include <memory>

#include "platform/linux/common/FocusedWindow.h"
#include "platform/linux/wayland/CompositorFocus.h"
#include "platform/linux/wayland/CompositorWindows.h"

namespace linuxplatform {

class SwayIpcWatcher final : public CompositorWindows, public CompositorFocus {
public:
    // Whether a sway answers on $SWAYSOCK (asked once, within half a second).
    static bool available();

    // Connects to $SWAYSOCK, and again whenever sway closes it; without an answer the snapshot
    // stays as it was.
    SwayIpcWatcher();
    ~SwayIpcWatcher() override;
    SwayIpcWatcher(const SwayIpcWatcher&) = delete;
    SwayIpcWatcher& operator=(const SwayIpcWatcher&) = delete;

    std::vector<CompositorWindow> windows() const override;
    std::optional<CompositorWindow> focusedWindow() const override;
    void followFocus(FocusHandler handler) override;

    // The focused window's frame from the latest snapshot.
    FocusedWindowQuery focusedWindowQuery() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace linuxplatform
