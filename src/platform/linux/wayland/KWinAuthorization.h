#pragma once
// KWin lets a program use its screenshot interface only when a desktop entry whose Exec is the
// program's own absolute path lists that interface under X-KDE-DBUS-Restricted-Interfaces. This
// tells beforehand, without capturing anything, whether our installed entry does; a refused call
// remains the last word.
#include <string>
#include <vector>

namespace linuxplatform {

class KWinAuthorization {
public:
    static constexpr const char* kInterface = "org.kde.KWin.ScreenShot2";

    // Whether the desktop entry `text` authorizes the program at `executable` (a canonical path).
    static bool entryAuthorizes(const std::string& text, const std::string& executable);
    // Whether an entry in the applications folders of the XDG data directories authorizes this process.
    static bool installed();
    static std::vector<std::string> applicationDirectories();
};

}  // namespace linuxplatform
