#pragma once
// The sway session of scripts/wayland-session as the tests see it: its windows from sway's tree,
// focus through its IPC, and keys through the virtual keyboard (wtype) into the focused window.
#include <optional>
#include <string>
#include <vector>

#include "DesktopHarness.h"

namespace desktop {

struct SwayWindow {
    long id = 0;
    int pid = 0;
    std::string appId;  // empty for Xwayland windows, which have an X class instead
    std::string shell;  // "xdg_shell" for a native Wayland window, "xwayland" for an X one
    std::string title;
    WindowGeometry rect;
    bool focused = false;
};

// The windows sway manages, tiled and floating, in the order of its tree.
std::vector<SwayWindow> swayWindows();
// The first window whose title matches the (ECMAScript) pattern, waiting up to `timeout`.
std::optional<SwayWindow> waitForSwayWindow(const std::string& titlePattern, Seconds timeout);
std::optional<SwayWindow> focusedSwayWindow();
// Focuses the window and waits until sway says it has the focus.
bool swayFocus(const SwayWindow& window);
// Types `text` (not starting with "-") into the focused window, one key every `delayMs`, after
// pressing the named keys (X keysym names: "Tab", "BackSpace"...) in turn.
void wtype(const std::string& text, int delayMs = 25, const std::vector<std::string>& keysFirst = {});
// Presses the named keys in turn. GTK 3 drops the last one when it types nothing (a Tab, a BackSpace):
// end with one that types.
void wtypeKeys(const std::vector<std::string>& keys);
// Presses `key` with `modifier` held ("alt", "ctrl", "shift", "logo").
void wtypeChord(const std::string& modifier, const std::string& key);
// The whole output as a PNG file (grim); false on failure.
bool grimScreenshot(const std::string& path);

}  // namespace desktop
