#pragma once
// The places the user keeps out of every reading: the applications on the "never read" list, and
// private browsing windows unless the user allows them. The consent gates ask this before a field
// is read or a window captured; an excluded place is answered as a withdrawn consent is.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace linuxplatform {

class ApplicationIdentity;
class Consent;

class PlacesNeverRead {
public:
    PlacesNeverRead(std::shared_ptr<Consent> consent, std::shared_ptr<ApplicationIdentity> identity);

    // A window or field of process `pid`, with the window's class or app id and its title (either
    // may be empty). Any thread.
    bool excluded(int pid, std::string_view windowClass, std::string_view windowTitle);

    // Whether a window marks itself as private browsing: by its title (Firefox's "Private Browsing",
    // Chromium's "(Incognito)" in the name it gives assistive technologies), or by a browser process
    // started for private browsing, whose windows carry no mark for the window manager.
    bool isPrivate(int pid, std::string_view windowTitle) const;

    // Whether any process of the user's is excluded as a whole (a listed application, a browser
    // started for private browsing): where the desktop does not say where windows are, a picture of
    // the screen could hold one of them. Any thread.
    bool anyProcessExcluded();
    static bool hasPrivateTitle(std::string_view windowTitle);

    // Whether process `pid` has ended (or only waits to be reaped): it can no longer say which
    // application it was, and what a reading still holds of it is only what it last showed.
    bool gone(int pid) const;

private:
    std::shared_ptr<Consent> consent_;
    std::shared_ptr<ApplicationIdentity> identity_;
    // What anyProcessExcluded found of each process, for the choices it was found under.
    struct Verdict {
        unsigned long long started = 0;
        bool excluded = false;
    };
    std::mutex verdictsMutex_;
    std::map<int, Verdict> verdicts_;
    std::vector<std::string> verdictsFor_;
    bool verdictsPrivateRead_ = false;
};

}  // namespace linuxplatform
