#pragma once
// The Wayland backends' lines in the agent's diagnostic log: why capture was lost, refused or handed
// to another backend, and what the compositor watchers lost and found again. Lines are written when
// something changes, never per frame or per call.
#include <mutex>
#include <optional>
#include <string>

namespace linuxplatform {

// Appends one line to the diagnostic log, through the installed platform facilities (nothing
// without them, as in tests that install none). Any thread.
void waylandLog(const std::string& message);

// A backend's health, logged only when it changes: the first failure with its reason, a different
// reason, and the recovery. Any thread.
class ChangeLog {
public:
    explicit ChangeLog(std::string who) : who_(std::move(who)) {}
    void failed(const std::string& why);
    void working();

private:
    std::mutex mutex_;
    std::string who_;
    std::optional<std::string> failing_;
};

}  // namespace linuxplatform
