#pragma once
// The GNOME Shell session of scripts/gnome-session as the tests see it: its windows, focus, keys,
// clicks and screenshots through the session's test driver extension (com.wellspire.TestShell),
// and the portal's "Screen Share" dialog answered over AT-SPI.
#include <optional>
#include <string>
#include <vector>

#include "DesktopHarness.h"

namespace desktop {

struct ShellWindow {
    unsigned long long id = 0;
    int pid = 0;
    std::string title;
    std::string wmClass;
    bool wayland = false;  // a native Wayland client, not one through Xwayland
    int type = 0;          // Meta.WindowType: 0 normal, 4 dialog, 13 dropdown menu... 15 override-redirect
    WindowGeometry rect;
    bool focused = false;
};

// Every window the shell has, override-redirect ones included.
std::vector<ShellWindow> shellWindows();
// The first window whose title matches the (ECMAScript) pattern, waiting up to `timeout`.
std::optional<ShellWindow> waitForShellWindow(const std::string& titlePattern, Seconds timeout);
std::optional<ShellWindow> focusedShellWindow();
// Activates the window, as a click on it would, and waits until the shell says it has the focus.
bool shellFocus(const ShellWindow& window);
// Moves the window's frame (unmaximised) to (`x`, `y`).
void shellMove(const ShellWindow& window, int x, int y);
// Types `text` into the focused window through the shell's virtual keyboard, one key every `delayMs`.
void shellType(const std::string& text, int delayMs = 25);
// Presses the named keys (Clutter key names: "Tab", "BackSpace"...) in turn.
void shellKeys(const std::vector<std::string>& keys);
// Presses `key` with `modifier` ("ctrl", "alt", "shift", "logo") held.
void shellChord(const std::string& modifier, const std::string& key);
bool shellScreenshot(const std::string& path);
// Ends every screen cast, as the Stop of the shell's sharing indicator does; how many were running.
int shellStopSharing();
int shellScreenCasts();
// The notifications the shell holds, as "title: body" each.
std::vector<std::string> shellNotifications();

// Answers the portal's Screen Share dialog: the first monitor and Share, or Cancel. False when no
// dialog came within `timeout` or it could not be worked.
bool answerShareDialog(bool share, Seconds timeout = Seconds(25));
// Whether the dialog is showing now.
bool shareDialogShown();

}  // namespace desktop
