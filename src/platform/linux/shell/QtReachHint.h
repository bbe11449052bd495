#pragma once
#include <memory>

#include "platform/Windowing.h"

namespace linuxplatform {

// On a desktop without a status area (GNOME without its extension) the agent's icon is nowhere to
// be seen. Once per user, a while after launch, this says how to reach it instead: as a desktop
// notification when a notification server answers, else in a small message box that, like the
// panels, never takes the keyboard from the field the user types in.
class QtReachHint {
public:
    // Looks after `delaySeconds` (a status area may still be starting at login).
    static void scheduleIfNoStatusArea(std::shared_ptr<platform::UserDefaults> defaults, int delaySeconds = kDelaySeconds);

    static constexpr int kDelaySeconds = 10;
    static constexpr const char* kShownKey = "ws.reachHintShown";
    static constexpr const char* kSummary = "Wellspire Agent is running";
    static constexpr const char* kBody =
        "This desktop has no status area to show its icon. To reach Wellspire Agent, open it again from "
        "your applications: a small window shows its status and its commands.";

private:
    static void showNow();
};

}  // namespace linuxplatform
