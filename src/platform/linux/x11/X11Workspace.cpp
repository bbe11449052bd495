#include "platform/linux/x11/X11Workspace.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ApplicationChange.h"
#include "platform/MainLoop.h"
#include "platform/Platform.h"
#include "platform/linux/x11/X11Connection.h"

namespace linuxplatform {

namespace {
constexpr const char* kOwnIdentifier = "com.wellspire.agent";

class X11Registration final : public platform::Registration {
public:
    explicit X11Registration(std::uint64_t id) : id(id) {}
    const std::uint64_t id;
};

// A key monitor lasts as long as its registration: with the last one gone, the server is told to
// send no more keys.
class X11KeyRegistration final : public platform::Registration {
public:
    X11KeyRegistration(std::uint64_t id, std::function<void(std::uint64_t)> remove) : id_(id), remove_(std::move(remove)) {}
    ~X11KeyRegistration() override { remove_(id_); }

private:
    const std::uint64_t id_;
    std::function<void(std::uint64_t)> remove_;
};

std::optional<platform::RunningApplication> applicationOf(Display* display, Window window) {
    platform::RunningApplication app;
    app.pid = x11::windowPid(display, window).value_or(0);
    const auto cls = x11::windowClass(display, window);
    app.localizedName = cls.className ? cls.className : cls.instance;
    if (app.pid != 0 && app.pid == static_cast<int>(::getpid()))
        app.bundleIdentifier = kOwnIdentifier;
    else
        app.bundleIdentifier = app.localizedName;
    return app;
}

void postToMain(std::function<void()> task) {
    if (auto& loop = platform::get().mainLoop) loop->post(std::move(task));
}
}  // namespace

// Everything the watcher thread and the posted deliveries share. Deliveries hold it weakly,
// so a notice that reaches the main thread after the workspace is gone does nothing.
struct X11Workspace::Impl {
    std::mutex queryMutex;
    Display* query = nullptr;  // for frontmostApplication(), any thread

    std::mutex handlersMutex;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, std::function<void(const std::optional<platform::RunningApplication>&)>> activation;
    std::map<std::uint64_t, std::function<void(int)>> keys;

    std::thread watcher;
    int wakeFd = -1;
    std::atomic<bool> wantKeys{false};
    std::atomic<bool> stopping{false};

    void watch(std::weak_ptr<Impl> weak);
    void deliverActivation(std::weak_ptr<Impl> weak, std::optional<platform::RunningApplication> app);
    void deliverKey(std::weak_ptr<Impl> weak, int code);
    void wake();
};

void X11Workspace::Impl::wake() {
    if (wakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
}

void X11Workspace::Impl::deliverActivation(std::weak_ptr<Impl> weak, std::optional<platform::RunningApplication> app) {
    postToMain([weak, app] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<std::function<void(const std::optional<platform::RunningApplication>&)>> handlers;
        {
            std::lock_guard lock(self->handlersMutex);
            for (const auto& [id, h] : self->activation) handlers.push_back(h);
        }
        for (const auto& h : handlers) h(app);
    });
}

void X11Workspace::Impl::deliverKey(std::weak_ptr<Impl> weak, int code) {
    postToMain([weak, code] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<std::function<void(int)>> handlers;
        {
            std::lock_guard lock(self->handlersMutex);
            for (const auto& [id, h] : self->keys) handlers.push_back(h);
        }
        for (const auto& h : handlers) h(code);
    });
}

void X11Workspace::Impl::watch(std::weak_ptr<Impl> weak) {
    Display* display = x11::openDisplay();
    if (!display) return;
    const Window root = DefaultRootWindow(display);
    const Atom activeAtom = x11::atom(display, "_NET_ACTIVE_WINDOW");
    XSelectInput(display, root, PropertyChangeMask);

    // Key presses are asked of the server only once someone listens for them.
    int xiOpcode = -1, firstEvent = 0, firstError = 0;
    if (XQueryExtension(display, "XInputExtension", &xiOpcode, &firstEvent, &firstError)) {
        int major = 2, minor = 2;
        if (XIQueryVersion(display, &major, &minor) != Success) xiOpcode = -1;
    }
    bool keysSelected = false;
    auto selectKeys = [&](bool on) {
        unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
        if (on) XISetMask(mask, XI_RawKeyPress);
        XIEventMask em{XIAllMasterDevices, static_cast<int>(sizeof mask), mask};
        x11::ErrorTrap trap(display);
        XISelectEvents(display, root, &em, 1);
        if (trap.failed()) xiOpcode = -1;
        keysSelected = on;
        XFlush(display);
    };
    XFlush(display);

    const int ownPid = static_cast<int>(::getpid());
    std::optional<Window> lastActive = x11::activeWindow(display);
    int activePid = lastActive ? x11::windowPid(display, *lastActive).value_or(0) : 0;
    platform::ApplicationChange change;
    if (lastActive) change.becameActive(applicationOf(display, *lastActive));

    while (!stopping.load()) {
        if (xiOpcode >= 0 && keysSelected != wantKeys.load()) selectKeys(!keysSelected);
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == PropertyNotify && event.xproperty.window == root && event.xproperty.atom == activeAtom) {
                const auto active = x11::activeWindow(display);
                // A moment without an active window (one closing, the next not yet focused) is no switch.
                if (!active || active == lastActive) continue;
                lastActive = active;
                auto app = applicationOf(display, *active);
                activePid = app ? app->pid : 0;
                // Moving between windows of one application is no activation.
                if (change.becameActive(app)) deliverActivation(weak, std::move(app));
            } else if (event.type == GenericEvent && event.xcookie.extension == xiOpcode &&
                       XGetEventData(display, &event.xcookie)) {
                if (event.xcookie.evtype == XI_RawKeyPress) {
                    const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
                    const KeySym sym = XkbKeycodeToKeysym(display, static_cast<KeyCode>(raw->detail), 0, 0);
                    // Raw events do not name their target; keys typed into our own windows are left out
                    // by the owner of the active window.
                    if (activePid != ownPid && wantKeys.load()) deliverKey(weak, keyCodeForKeysym(sym));
                }
                XFreeEventData(display, &event.xcookie);
            }
        }
        pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, 1000);
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents & (POLLHUP | POLLERR)) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] auto r = ::read(wakeFd, &wakes, sizeof wakes);
        }
    }
    XCloseDisplay(display);
}

X11Workspace::X11Workspace() : impl_(std::make_shared<Impl>()) {
    impl_->query = x11::openDisplay();
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->query && impl_->wakeFd >= 0) {
        std::weak_ptr<Impl> weak = impl_;
        Impl* impl = impl_.get();
        impl_->watcher = std::thread([impl, weak] { impl->watch(weak); });
    }
}

X11Workspace::~X11Workspace() {
    impl_->stopping.store(true);
    if (impl_->wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(impl_->wakeFd, &one, sizeof one);
    }
    if (impl_->watcher.joinable()) impl_->watcher.join();
    if (impl_->wakeFd >= 0) ::close(impl_->wakeFd);
    std::lock_guard lock(impl_->queryMutex);
    if (impl_->query) XCloseDisplay(impl_->query);
    impl_->query = nullptr;
}

std::optional<platform::RunningApplication> X11Workspace::frontmostApplication() {
    std::lock_guard lock(impl_->queryMutex);
    if (!impl_->query) return std::nullopt;
    const auto active = x11::activeWindow(impl_->query);
    if (!active) return std::nullopt;
    return applicationOf(impl_->query, *active);
}

std::shared_ptr<platform::Registration> X11Workspace::addActivationObserver(
    std::function<void(const std::optional<platform::RunningApplication>&)> handler) {
    std::lock_guard lock(impl_->handlersMutex);
    const auto id = impl_->nextId++;
    impl_->activation[id] = std::move(handler);
    return std::make_shared<X11Registration>(id);
}

void X11Workspace::removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) {
    const auto* r = dynamic_cast<const X11Registration*>(registration.get());
    if (!r) return;
    std::lock_guard lock(impl_->handlersMutex);
    impl_->activation.erase(r->id);
}

std::shared_ptr<platform::Registration> X11Workspace::addGlobalKeyDownMonitor(std::function<void(int keyCode)> handler) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(impl_->handlersMutex);
        id = impl_->nextId++;
        impl_->keys[id] = std::move(handler);
    }
    if (!impl_->wantKeys.exchange(true)) impl_->wake();
    std::weak_ptr<Impl> weak = impl_;
    return std::make_shared<X11KeyRegistration>(id, [weak](std::uint64_t id) {
        auto self = weak.lock();
        if (!self) return;
        bool none = false;
        {
            std::lock_guard lock(self->handlersMutex);
            self->keys.erase(id);
            none = self->keys.empty();
        }
        if (none && self->wantKeys.exchange(false)) self->wake();
    });
}

int X11Workspace::ownPid() const { return static_cast<int>(::getpid()); }

std::string X11Workspace::bundlePath() const {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec).string();
    return exe.parent_path().string();
}

int X11Workspace::keyCodeForKeysym(unsigned long keysym) {
    switch (keysym) {
        case XK_BackSpace: return 51;
        case XK_Delete:
        case XK_KP_Delete: return 117;
        default: return 0;
    }
}

}  // namespace linuxplatform
