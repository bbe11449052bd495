#include "platform/linux/wayland/KWinScreenCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <atomic>

#include "platform/linux/common/OwnWindows.h"
#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/wayland/CaptureWorker.h"
#include "platform/linux/wayland/ServedCaptureCalls.h"
#include "platform/linux/wayland/CompositorContent.h"
#include "platform/linux/wayland/KWinAuthorization.h"
#include "platform/linux/wayland/KWinScreenshotPipe.h"
#include "platform/linux/wayland/OutputGeometry.h"
#include "platform/linux/wayland/WaylandLog.h"

namespace linuxplatform {
namespace {

const QString kService = QStringLiteral("org.kde.KWin");
const QString kPath = QStringLiteral("/org/kde/KWin/ScreenShot2");
const QString kInterface = QString::fromLatin1(KWinAuthorization::kInterface);
const QString kNotAuthorized = QStringLiteral("org.kde.KWin.ScreenShot2.Error.NoAuthorized");
constexpr const char* kRefused = "KWin does not allow the agent to take screenshots";
// KWin answers once the next frame is painted; a call it never answers costs one cycle.
constexpr int kTimeoutMs = 10000;

}  // namespace

struct KWinScreenCapture::Impl {
    std::shared_ptr<CompositorWindows> windows;
    // The layout of the outputs; these work on KWin, which has no wlr-screencopy. Worker thread only.
    WlrScreencopyClient outputs;
    ScaledFrameCache frames;
    std::atomic<bool> authorized{false}, refused{false};
    ChangeLog health{"kwin-screenshot"};

    Impl(std::shared_ptr<CompositorWindows> w, std::string display) : windows(std::move(w)), outputs(std::move(display)) {}

    // One area of the layout, in logical pixels, at the native resolution of its screens; the
    // outcome goes to the log when it differs from the last one.
    std::variant<platform::Image, std::string> area(const DesktopRect& rect) {
        auto result = shoot(rect);
        if (auto* error = std::get_if<std::string>(&result)) health.failed(*error);
        else health.working();
        return result;
    }

    std::variant<platform::Image, std::string> shoot(const DesktopRect& rect) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return std::string("no pipe for KWin's image");
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CaptureArea"));
        const QVariantMap options{{QStringLiteral("include-cursor"), false},
                                  {QStringLiteral("native-resolution"), true},
                                  {QStringLiteral("hide-caller-windows"), true}};
        call << rect.x << rect.y << static_cast<uint>(rect.width) << static_cast<uint>(rect.height) << options
             << QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]));
        // The message holds its own copy of the write end.
        close(fds[1]);
        QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, kTimeoutMs);
        call = QDBusMessage();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            close(fds[0]);
            if (reply.errorName() == kNotAuthorized) {
                refused = true;
                return std::string(kRefused);
            }
            return "KWin did not take the screenshot: " + reply.errorMessage().toStdString();
        }
        // KWin replies first and writes the pixels afterwards, from a thread of its own.
        const QVariantMap results = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
        const std::size_t expected = KWinScreenshotPipe::expectedSize(results);
        const auto bytes = KWinScreenshotPipe::read(fds[0], expected, std::chrono::milliseconds(kTimeoutMs));
        close(fds[0]);
        return KWinScreenshotPipe::decode(results, bytes);
    }

    std::variant<std::vector<WaylandOutput>, std::string> layout() {
        auto listed = outputs.outputs();
        if (auto* error = std::get_if<std::string>(&listed)) health.failed(*error);
        return listed;
    }

    platform::ContentResult content() {
        auto listed = layout();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        return CompositorContent::list(std::get<std::vector<WaylandOutput>>(listed), windows.get());
    }

    platform::CaptureResult window(const platform::ShareableWindow& asked, int width, int height) {
        if (asked.id >= CompositorContent::kOwnWindowBase)
            return platform::CaptureError{"the agent's own panels are not captured"};
        if (!windows) return platform::CaptureError{"the compositor does not tell where windows are"};
        const auto frame = CompositorContent::frameOf(windows.get(), asked.id);
        if (!frame) return platform::CaptureError{"the window is no longer on screen"};
        auto captured = area(*frame);
        if (auto* error = std::get_if<std::string>(&captured)) return platform::CaptureError{*error};
        // The area as shown, the agent's own windows over it too.
        auto& image = std::get<platform::Image>(captured);
        OwnWindows::shared().blankIn(image, frame->x, frame->y, static_cast<double>(image.width) / frame->width);
        return frames.scaled(image, width, height);
    }

    platform::CaptureResult display(std::uint64_t id, const std::vector<platform::ShareableWindow>& excluding, int width,
                                    int height) {
        auto listed = layout();
        if (auto* error = std::get_if<std::string>(&listed)) return platform::CaptureError{*error};
        const auto& outs = std::get<std::vector<WaylandOutput>>(listed);
        const WaylandOutput* output = CompositorContent::output(outs, id);
        if (!output) return platform::CaptureError{"the display is no longer connected"};
        auto captured = area(output->logical);
        if (auto* error = std::get_if<std::string>(&captured)) return platform::CaptureError{*error};
        auto& image = std::get<platform::Image>(captured);
        OutputGeometry::blank(image, output->logical, CompositorContent::hidden(outs, excluding));
        return frames.scaled(image, width, height);
    }
};

bool KWinScreenCapture::available() {
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kInterface << QStringLiteral("Version");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

KWinScreenCapture::KWinScreenCapture(std::shared_ptr<CompositorWindows> windows, std::string display)
    : impl_(std::make_shared<Impl>(std::move(windows), std::move(display))), worker_(CaptureWorker::start()) {
    // Reading the desktop entries touches the disk: off the caller's thread.
    worker_->post([impl = impl_](bool live) {
        if (live) impl->authorized = KWinAuthorization::installed();
    });
}

KWinScreenCapture::~KWinScreenCapture() { worker_->stop(); }

bool KWinScreenCapture::preflight() { return impl_->authorized && !impl_->refused; }

std::optional<std::string> KWinScreenCapture::refusedForGood() const {
    if (!impl_->refused) return std::nullopt;
    return std::string(kRefused);
}

void KWinScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    servedcapture::content(*worker_, impl_, std::move(completion));
}

void KWinScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                    std::function<void(platform::CaptureResult)> completion) {
    servedcapture::window(*worker_, impl_, window, pixelWidth, pixelHeight, std::move(completion));
}

void KWinScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                     const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                     int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    servedcapture::display(*worker_, impl_, display, excluding, pixelWidth, pixelHeight, std::move(completion));
}

}  // namespace linuxplatform
