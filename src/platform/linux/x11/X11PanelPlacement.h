#pragma once
#include "platform/linux/common/PanelPlacement.h"

namespace linuxplatform {

// Check-in panels as X11 windows.
// - Under an X11 window manager the panel is an ordinary tool window marked sticky, above and out
//   of the task bar; window managers keep those where the program puts them and never focus them.
// - Through Xwayland the panel bypasses the window manager (override-redirect): a Wayland
//   compositor centres a managed X11 window and focuses it, but shows an override-redirect one
//   where it asks to be, above the other windows, and leaves the keyboard focus where it was.
class X11PanelPlacement final : public PanelPlacement {
public:
    enum class Manager { X11WindowManager, WaylandCompositor };
    explicit X11PanelPlacement(Manager manager) : manager_(manager) {}

    void prepare(QWidget& panel) override;
    bool translucent() const override;

private:
    Manager manager_;
};

}  // namespace linuxplatform
