#include "platform/linux/consent/PlacesNeverRead.h"

#include <algorithm>
#include <array>
#include <fstream>

#include "platform/linux/consent/ApplicationIdentity.h"
#include "platform/linux/consent/Consent.h"

namespace linuxplatform {
namespace {

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

PlacesNeverRead::PlacesNeverRead(std::shared_ptr<Consent> consent, std::shared_ptr<ApplicationIdentity> identity)
    : consent_(std::move(consent)), identity_(std::move(identity)) {}

bool PlacesNeverRead::hasPrivateTitle(std::string_view title) {
    while (!title.empty() && (title.back() == ' ' || title.back() == '\n')) title.remove_suffix(1);
    // Firefox: "Page — Mozilla Firefox Private Browsing" or "Page — Private Browsing"; Chromium's
    // accessible name: "Page - Chromium (Incognito)"; Edge: "InPrivate". Only at the end, where the
    // browser puts it, so that a page about private browsing does not count.
    static constexpr std::array<std::string_view, 6> marks{"Private Browsing", "(Private Browsing)", "(Incognito)",
                                                           "- Incognito", "InPrivate", "(Private)"};
    return std::any_of(marks.begin(), marks.end(), [title](std::string_view m) { return endsWith(title, m); });
}

bool PlacesNeverRead::isPrivate(int pid, std::string_view windowTitle) const {
    if (hasPrivateTitle(windowTitle)) return true;
    if (pid <= 0) return false;
    std::ifstream in(identity_->procRoot() + "/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    for (std::string arg; std::getline(in, arg, '\0');)
        if (arg == "--incognito" || arg == "--private-window" || arg == "-private-window" || arg == "--private" ||
            arg == "-private" || arg == "--inprivate")
            return true;
    return false;
}

bool PlacesNeverRead::gone(int pid) const {
    std::ifstream in(identity_->procRoot() + "/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (pid <= 0 || !std::getline(in, stat)) return true;
    // The state follows the command name, which may hold spaces and ')'.
    const auto close = stat.rfind(") ");
    return close != std::string::npos && close + 2 < stat.size() && (stat[close + 2] == 'Z' || stat[close + 2] == 'X');
}

bool PlacesNeverRead::excluded(int pid, std::string_view windowClass, std::string_view windowTitle) {
    if (!consent_->privateBrowsing() && isPrivate(pid, windowTitle)) return true;
    const auto listed = consent_->neverRead();
    if (listed.empty() || (pid <= 0 && windowClass.empty())) return false;
    for (const auto& id : identity_->identities(pid, windowClass))
        if (std::find(listed.begin(), listed.end(), id) != listed.end()) return true;
    return false;
}

bool PlacesNeverRead::anyProcessExcluded() {
    const auto listed = consent_->neverRead();
    const bool privateRead = consent_->privateBrowsing();
    if (listed.empty() && privateRead) return false;
    std::lock_guard lock(verdictsMutex_);
    // Asked at every capture: each process is looked at once, until the choices change.
    if (listed != verdictsFor_ || privateRead != verdictsPrivateRead_) {
        verdicts_.clear();
        verdictsFor_ = listed;
        verdictsPrivateRead_ = privateRead;
    }
    std::map<int, Verdict> now;
    bool any = false;
    for (const auto& process : identity_->userProcesses()) {
        const auto known = verdicts_.find(process.pid);
        const bool excludedNow = known != verdicts_.end() && known->second.started == process.started
                                     ? known->second.excluded
                                     : excluded(process.pid, {}, {});
        now[process.pid] = {process.started, excludedNow};
        any = any || excludedNow;
    }
    verdicts_ = std::move(now);
    return any;
}

}  // namespace linuxplatform
