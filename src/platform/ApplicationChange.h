#pragma once
// One activation per change of application: a window of the active application that becomes the
// active one is no activation. Applications are told apart by pid, or by their identifier when
// the pid is unknown.
#include <optional>

#include "platform/Workspace.h"

namespace platform {

class ApplicationChange {
public:
    // Whether `app` becoming active is a change of application; `app` is remembered either way.
    // Nothing (no active window) is never a change and forgets nothing.
    bool becameActive(const std::optional<RunningApplication>& app);

    static bool same(const RunningApplication& a, const RunningApplication& b);

private:
    std::optional<RunningApplication> active_;
};

}  // namespace platform
