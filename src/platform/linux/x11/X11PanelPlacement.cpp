#include "platform/linux/x11/X11PanelPlacement.h"

#include <string>

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace linuxplatform {
namespace {

Display* qtDisplay() {
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

// On every desktop, kept above, out of task bars and pagers; set before mapping so the window
// manager sees it at once.
void markSticky(Display* d, Window win) {
    unsigned long all = 0xFFFFFFFFul;
    XChangeProperty(d, win, XInternAtom(d, "_NET_WM_DESKTOP", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&all), 1);
    Atom states[] = {XInternAtom(d, "_NET_WM_STATE_STICKY", False), XInternAtom(d, "_NET_WM_STATE_ABOVE", False),
                     XInternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR", False),
                     XInternAtom(d, "_NET_WM_STATE_SKIP_PAGER", False)};
    XChangeProperty(d, win, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(states), 4);
    XFlush(d);
}

}  // namespace

void X11PanelPlacement::prepare(QWidget& panel) {
    if (manager_ == Manager::WaylandCompositor) {
        // Before the native window exists, so that it is created override-redirect.
        panel.setWindowFlag(Qt::X11BypassWindowManagerHint, true);
        panel.winId();
        return;
    }
    const auto win = static_cast<Window>(panel.winId());
    if (Display* d = qtDisplay()) markSticky(d, win);
}

bool X11PanelPlacement::translucent() const {
    // A Wayland compositor composites every Xwayland window.
    if (manager_ == Manager::WaylandCompositor) return true;
    Display* d = qtDisplay();
    if (!d) return true;  // not X11 after all: the platform handles translucency
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(d));
    return XGetSelectionOwner(d, XInternAtom(d, name.c_str(), False)) != None;
}

}  // namespace linuxplatform
