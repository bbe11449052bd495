#pragma once
// The X server's own screen saver (the MIT-SCREEN-SAVER extension): on while the screen is blanked
// or a locker holds it, off again at the user's first input. An X11 session's lockers start from
// it, and some show nothing else.
#include <functional>
#include <memory>

namespace linuxplatform {

class X11ScreenSaverWatch {
public:
    // Main thread. `changed` runs on the main thread at each change, and once now when it is on.
    // Without the extension nothing is watched.
    explicit X11ScreenSaverWatch(std::function<void(bool on)> changed);
    ~X11ScreenSaverWatch();
    X11ScreenSaverWatch(const X11ScreenSaverWatch&) = delete;
    X11ScreenSaverWatch& operator=(const X11ScreenSaverWatch&) = delete;
    bool available() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace linuxplatform
