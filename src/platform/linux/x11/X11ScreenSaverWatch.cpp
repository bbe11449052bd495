#include "platform/linux/x11/X11ScreenSaverWatch.h"

// Qt before Xlib, whose macros (Bool, Status) Qt's headers refuse.
#include <QSocketNotifier>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include "platform/linux/x11/X11Connection.h"

namespace linuxplatform {

struct X11ScreenSaverWatch::Impl {
    Display* display = nullptr;
    int eventBase = 0;
    bool on = false;
    std::function<void(bool)> changed;
    std::unique_ptr<QSocketNotifier> notifier;

    void take(bool now) {
        if (now == on) return;
        on = now;
        changed(on);
    }
    void read() {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != eventBase + ScreenSaverNotify) continue;
            const auto& notify = reinterpret_cast<const XScreenSaverNotifyEvent&>(event);
            // Cycling shows the saver again; it stays on.
            take(notify.state != ScreenSaverOff);
        }
    }
};

X11ScreenSaverWatch::X11ScreenSaverWatch(std::function<void(bool on)> changed) : impl_(std::make_unique<Impl>()) {
    impl_->changed = std::move(changed);
    // A connection of its own: its events are read here on the main thread, apart from Qt's.
    Display* display = x11::openDisplay();
    int errorBase = 0;
    if (!display) return;
    if (!XScreenSaverQueryExtension(display, &impl_->eventBase, &errorBase)) {
        XCloseDisplay(display);
        return;
    }
    impl_->display = display;
    const Window root = DefaultRootWindow(display);
    XScreenSaverSelectInput(display, root, ScreenSaverNotifyMask | ScreenSaverCycleMask);
    // Selected before asking, so that no change falls between the answer and the first event.
    XScreenSaverInfo info{};
    if (XScreenSaverQueryInfo(display, root, &info)) impl_->take(info.state == ScreenSaverOn);
    XFlush(display);
    impl_->notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    Impl* impl = impl_.get();
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, [impl] { impl->read(); });
    impl->read();
}

X11ScreenSaverWatch::~X11ScreenSaverWatch() {
    impl_->notifier.reset();
    if (impl_->display) XCloseDisplay(impl_->display);
}

bool X11ScreenSaverWatch::available() const { return impl_->display != nullptr; }

}  // namespace linuxplatform
