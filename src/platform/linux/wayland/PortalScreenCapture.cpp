#include "platform/linux/wayland/PortalScreenCapture.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/linux/common/CaptureStanding.h"
#include "platform/linux/consent/Consent.h"
#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/wayland/CompositorWindows.h"
#include "platform/linux/wayland/PipeWireStream.h"
#include "platform/linux/wayland/PortalScreenCastSession.h"
#include "platform/linux/wayland/ScreenLayout.h"

namespace linuxplatform {

namespace {

// Shareable ids of the agent's own panels, apart from any compositor's window ids.
constexpr std::uint64_t kOwnWindow = 1ull << 63;

struct Snapshot {
    std::shared_ptr<const platform::Image> frame;
    ScreenLayout layout;
    std::uint64_t display = 0;
};

// Blanks the agent's own windows in `image`, the part of the stream's frame from pixel (`x`, `y`).
void blankOwn(platform::Image& image, const ScreenLayout& layout, int x, int y) {
    const double scale = layout.width > 0 ? static_cast<double>(layout.pixelWidth) / layout.width : 1.0;
    OwnWindows::shared().blankIn(image, layout.x + static_cast<int>(std::lround(x / scale)),
                                 layout.y + static_cast<int>(std::lround(y / scale)), scale);
}

}  // namespace

struct PortalScreenCapture::Impl {
    std::shared_ptr<Consent> consent;
    std::shared_ptr<const CompositorWindows> windows;
    std::shared_ptr<CaptureStanding> standing;
    QThread thread;
    PortalScreenCastSession* session = nullptr;  // lives on `thread`

    std::mutex mutex;  // guards what follows
    std::shared_ptr<PipeWireStream> stream;
    PortalStream place;
    std::string why = "the screen is not shared yet";

    std::mutex scaling;
    ScaledFrameCache frames;

    // On the portal's thread from here on.
    QTimer* retry = nullptr;
    QTimer* watch = nullptr;
    int failures = 0;
    // Declined or stopped by the user: asked again only when the user acts.
    bool held = false;
    bool agreed = false;  // screen text as last seen
    // When the stream was first seen ended with the session still open (ms since start, or -1).
    QElapsedTimer clock;
    qint64 endedAt = -1;

    void setUp() {
        retry = new QTimer(session);
        retry->setSingleShot(true);
        QObject::connect(retry, &QTimer::timeout, session, [this] { begin(false); });
        watch = new QTimer(session);
        watch->setInterval(1000);
        QObject::connect(watch, &QTimer::timeout, session, [this] { check(); });
        clock.start();
    }

    void begin(bool userAsked) {
        if (!consent->screenText() || session->settingUp()) return;
        {
            std::lock_guard lock(mutex);
            if (stream && !stream->ended()) return;
        }
        if (held && !userAsked) return;
        held = false;
        retry->stop();
        // A stream that ended under a live session: start over.
        session->close();
        drop("the screen is not shared yet");
        standing->set(CaptureStanding::State::Asking, "");
        session->start(QString::fromStdString(consent->screenCastToken()));
    }

    void end() {
        retry->stop();
        watch->stop();
        held = false;
        failures = 0;
        session->close();
        drop("screen text reading is turned off");
        standing->set(CaptureStanding::State::NotAsked, "");
    }

    void drop(const std::string& reason) {
        std::shared_ptr<PipeWireStream> old;
        std::lock_guard lock(mutex);
        old.swap(stream);
        why = reason;
        endedAt = -1;
    }

    void started(const QDBusUnixFileDescriptor& remote, const PortalStream& s, const QString& token) {
        // The user may have withdrawn while the desktop's dialog was open.
        if (!consent->screenText()) return end();
        if (!token.isEmpty()) consent->setScreenCastToken(token.toStdString());
        auto next = std::make_shared<PipeWireStream>(remote.fileDescriptor(), s.node);
        if (!next->start()) return lost("the screen stream could not be opened");
        {
            std::lock_guard lock(mutex);
            stream = std::move(next);
            place = s;
            endedAt = -1;
        }
        failures = 0;
        watch->start();
        standing->set(CaptureStanding::State::Sharing, "");
    }

    void failed(const QString& reason) {
        if (reason == PortalScreenCastSession::declined()) {
            drop(reason.toStdString());
            held = true;
            standing->set(CaptureStanding::State::Declined, reason.toStdString());
            return;
        }
        lost(reason.toStdString());
    }

    // Ended without the user: asked again, with the token, after a wait that grows to a minute.
    void lost(const std::string& reason) {
        session->close();
        drop(reason);
        watch->stop();
        if (!consent->screenText()) return;
        standing->set(CaptureStanding::State::Lost, reason);
        const int seconds = std::min(60, 2 << std::min(failures, 5));
        ++failures;
        retry->start(seconds * 1000);
    }

    // A running session ended from the desktop's side: the user stopped the sharing, unless PipeWire
    // itself went away (the compositor then ends every cast).
    void closed() {
        std::shared_ptr<PipeWireStream> s;
        {
            std::lock_guard lock(mutex);
            s = stream;
        }
        // PipeWire's own end may reach the stream a moment after the compositor's word.
        QTimer::singleShot(1000, session, [this, s] {
            if (!consent->screenText()) return;
            if (s && s->remoteLost()) return lost("PipeWire went away");
            drop("the screen sharing was stopped from the desktop");
            watch->stop();
            held = true;
            // That grant is withdrawn: the next start asks again.
            consent->setScreenCastToken("");
            standing->set(CaptureStanding::State::Stopped, "the screen sharing was stopped from the desktop");
        });
    }

    // A stream that ends while its session stays open is lost, once the session has had time to say
    // it was closed.
    void check() {
        std::shared_ptr<PipeWireStream> s;
        {
            std::lock_guard lock(mutex);
            s = stream;
        }
        if (!s || !s->ended()) {
            endedAt = -1;
            return;
        }
        if (endedAt < 0) {
            endedAt = clock.elapsed();
            return;
        }
        if (clock.elapsed() - endedAt >= 2000) lost(s->remoteLost() ? "PipeWire went away" : "the screen stream ended");
    }

    std::variant<Snapshot, platform::CaptureError> snapshot() {
        std::shared_ptr<PipeWireStream> s;
        PortalStream p;
        {
            std::lock_guard lock(mutex);
            if (!stream) return platform::CaptureError{why};
            s = stream;
            p = place;
        }
        if (s->ended()) return platform::CaptureError{"the screen stream ended"};
        Snapshot snap;
        snap.frame = s->latest();
        if (!snap.frame) return platform::CaptureError{"no picture of the screen has come yet"};
        snap.display = p.node;
        const bool sized = p.width > 0 && p.height > 0;
        snap.layout = {p.x, p.y, sized ? p.width : snap.frame->width, sized ? p.height : snap.frame->height,
                       snap.frame->width, snap.frame->height};
        return snap;
    }

    platform::CaptureResult scaled(const platform::Image& image, int width, int height) {
        std::lock_guard lock(scaling);
        return frames.scaled(image, width, height);
    }
};

PortalScreenCapture::PortalScreenCapture(std::shared_ptr<Consent> consent, std::shared_ptr<const CompositorWindows> windows,
                                         std::shared_ptr<CaptureStanding> standing)
    : PortalScreenCapture(std::move(consent), std::move(windows), QDBusConnection::sessionBus(), std::move(standing)) {}

PortalScreenCapture::PortalScreenCapture(std::shared_ptr<Consent> consent, std::shared_ptr<const CompositorWindows> windows,
                                         const QDBusConnection& bus, std::shared_ptr<CaptureStanding> standing)
    : impl_(std::make_shared<Impl>()) {
    impl_->consent = std::move(consent);
    impl_->windows = std::move(windows);
    impl_->standing = standing ? std::move(standing) : std::make_shared<CaptureStanding>();
    impl_->thread.setObjectName(QStringLiteral("ws-portal"));
    auto* session = new PortalScreenCastSession(bus);
    impl_->session = session;
    impl_->setUp();
    session->moveToThread(&impl_->thread);
    Impl* impl = impl_.get();  // the thread and its objects end before the Impl does
    QObject::connect(session, &PortalScreenCastSession::started, session,
                     [impl](const QDBusUnixFileDescriptor& remote, const PortalStream& s, const QString& token) {
                         impl->started(remote, s, token);
                     });
    QObject::connect(session, &PortalScreenCastSession::failed, session,
                     [impl](const QString& why) { impl->failed(why); });
    QObject::connect(session, &PortalScreenCastSession::closed, session, [impl] { impl->closed(); });
    impl_->agreed = impl_->consent->screenText();
    impl_->thread.start();
    // The user opening the privacy window asks the desktop again at once.
    std::weak_ptr<Impl> weakImpl = impl_;
    impl_->standing->setAskAgain([weakImpl] {
        auto impl = weakImpl.lock();
        if (!impl || !impl->session) return;
        QMetaObject::invokeMethod(impl->session, [raw = impl.get()] { raw->begin(true); });
    });

    // Agreement starts the session (the desktop then asks which screen); withdrawal ends it.
    std::weak_ptr<Impl> weak = impl_;
    impl_->consent->onChange([weak] {
        auto impl = weak.lock();
        if (!impl || !impl->session) return;
        QMetaObject::invokeMethod(impl->session, [raw = impl.get()] {
            // Only turning screen text on is the user asking again; other changes leave a refusal be.
            const bool on = raw->consent->screenText();
            if (on) raw->begin(!std::exchange(raw->agreed, true));
            else {
                raw->agreed = false;
                raw->end();
            }
        });
    });
}

PortalScreenCapture::~PortalScreenCapture() {
    // The session closes as it goes, on its own thread; the wait is for a message sent, not answered.
    Impl* impl = impl_.get();
    QMetaObject::invokeMethod(
        impl->session, [impl] { delete std::exchange(impl->session, nullptr); }, Qt::BlockingQueuedConnection);
    impl->thread.quit();
    impl->thread.wait();
    impl->drop("the agent is quitting");
}

std::shared_ptr<CaptureStanding> PortalScreenCapture::standing() const { return impl_->standing; }

bool PortalScreenCapture::available() {
    // The session bus looks for services where the XDG data folders are.
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    const char* home = std::getenv("XDG_DATA_HOME");
    std::string all = std::string(home && *home ? home : "") + ":" + (dirs && *dirs ? dirs : "/usr/local/share:/usr/share");
    std::size_t begin = 0;
    while (begin <= all.size()) {
        const std::size_t end = std::min(all.find(':', begin), all.size());
        const std::string dir = all.substr(begin, end - begin);
        if (!dir.empty() && access((dir + "/dbus-1/services/org.freedesktop.portal.Desktop.service").c_str(), R_OK) == 0)
            return true;
        begin = end + 1;
    }
    return false;
}

bool PortalScreenCapture::preflight() {
    if (!impl_->consent->screenText()) return false;
    std::lock_guard lock(impl_->mutex);
    return impl_->stream && !impl_->stream->ended() && impl_->stream->frames() > 0;
}

void PortalScreenCapture::request() {
    Impl* impl = impl_.get();
    QMetaObject::invokeMethod(impl->session, [impl] { impl->begin(false); });
}

void PortalScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    auto snap = impl_->snapshot();
    if (auto* error = std::get_if<platform::CaptureError>(&snap)) return completion(std::move(*error));
    const auto& s = std::get<Snapshot>(snap);
    platform::ShareableContent content;
    content.displays.push_back({s.display, s.layout.width, s.layout.height});
    // The agent's panels lie above everything else.
    const int self = static_cast<int>(getpid());
    std::uint64_t index = 0;
    for (const auto& own : OwnWindows::shared().windows()) {
        ++index;
        // Ordinary windows of the agent may lie under others: blanked by their look at capture.
        if (!own.onTop) continue;
        if (auto points = s.layout.points(own.frame)) content.windows.push_back({kOwnWindow | index, self, true, *points});
    }
    if (impl_->windows) {
        auto windows = impl_->windows->windows();
        // Topmost first, as the screen reader walks them.
        for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
            if (!it->visible) continue;
            if (auto points = s.layout.points(it->frame)) content.windows.push_back({it->id, it->pid, true, *points, it->title, it->appId});
        }
    }
    completion(std::move(content));
}

void PortalScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                        std::function<void(platform::CaptureResult)> completion) {
    if (pixelWidth <= 0 || pixelHeight <= 0) return completion(platform::CaptureError{"the requested size is empty"});
    auto snap = impl_->snapshot();
    if (auto* error = std::get_if<platform::CaptureError>(&snap)) return completion(std::move(*error));
    const auto& s = std::get<Snapshot>(snap);
    // The stream shows the screen, so the window is what of it lies on top there.
    const DesktopRect area = s.layout.pixels(window.frame);
    if (area.width <= 0 || area.height <= 0)
        return completion(platform::CaptureError{"the window is not on the shared screen"});
    // The stream shows whatever lies over the window there, the agent's own windows too.
    platform::Image image = crop(*s.frame, area);
    blankOwn(image, s.layout, area.x, area.y);
    completion(impl_->scaled(image, pixelWidth, pixelHeight));
}

void PortalScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                         const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                         int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    if (pixelWidth <= 0 || pixelHeight <= 0) return completion(platform::CaptureError{"the requested size is empty"});
    auto snap = impl_->snapshot();
    if (auto* error = std::get_if<platform::CaptureError>(&snap)) return completion(std::move(*error));
    const auto& s = std::get<Snapshot>(snap);
    if (display.id != s.display) return completion(platform::CaptureError{"the display is no longer shared"});
    std::vector<DesktopRect> hidden;
    for (const auto& w : excluding) hidden.push_back(s.layout.pixels(w.frame));
    hidden.erase(std::remove_if(hidden.begin(), hidden.end(), [](const DesktopRect& r) { return r.width <= 0; }),
                 hidden.end());
    platform::Image image = *s.frame;
    for (const auto& area : hidden) blank(image, area);
    // The agent's own windows as they are now, those shown since the content was listed too.
    blankOwn(image, s.layout, 0, 0);
    completion(impl_->scaled(image, pixelWidth, pixelHeight));
}

}  // namespace linuxplatform
