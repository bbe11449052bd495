#include "platform/ApplicationChange.h"

namespace platform {

bool ApplicationChange::same(const RunningApplication& a, const RunningApplication& b) {
    if (a.pid != 0 || b.pid != 0) return a.pid == b.pid;
    return a.bundleIdentifier == b.bundleIdentifier;
}

bool ApplicationChange::becameActive(const std::optional<RunningApplication>& app) {
    if (!app) return false;
    const bool changed = !active_ || !same(*active_, *app);
    active_ = app;
    return changed;
}

}  // namespace platform
