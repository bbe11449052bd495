#pragma once
// What a check-in panel needs from the display system beyond drawing: to stay above other
// windows at the place it is moved to, on every desktop, without ever taking focus. Each session
// kind says how; the Qt widget only draws.
class QWidget;

namespace linuxplatform {

class PanelPlacement {
public:
    virtual ~PanelPlacement() = default;
    // Readies the panel's native window before it first shows. Main thread.
    virtual void prepare(QWidget& panel) = 0;
    // Whether translucent pixels blend with what lies below; without it the panel is cut to its
    // rounded shape instead.
    virtual bool translucent() const = 0;
};

}  // namespace linuxplatform
