#include "platform/linux/wayland/KWinScriptWatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>

#include <unistd.h>

#include <cmath>
#include <functional>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/linux/wayland/KWinScriptReceiver.h"
#include "platform/linux/wayland/WaylandLog.h"

namespace linuxplatform {

namespace {

constexpr const char* kKWinService = "org.kde.KWin";
constexpr const char* kScriptingPath = "/Scripting";
constexpr const char* kScriptingInterface = "org.kde.kwin.Scripting";

// Placeholders of the script's text, replaced by `script()`.
constexpr const char* kScriptText = R"JS(// Tells the Wellspire agent which window is active: its process, class and frame.
(function () {
    var watched = null;
    function report(window) {
        var message = {};
        if (window) {
            var g = window.frameGeometry;
            message = {id: String(window.internalId), pid: window.pid, resourceClass: String(window.resourceClass),
                       caption: String(window.caption), x: g.x, y: g.y, width: g.width, height: g.height};
        }
        callDBus("@SERVICE@", "@PATH@", "@INTERFACE@", "windowActivated", JSON.stringify(message));
    }
    function moved() {
        var active = workspace.activeWindow !== undefined ? workspace.activeWindow : workspace.activeClient;
        if (active && active === watched) report(active);
    }
    function activated(window) {
        if (watched && watched.frameGeometryChanged) watched.frameGeometryChanged.disconnect(moved);
        watched = window;
        if (watched && watched.frameGeometryChanged) watched.frameGeometryChanged.connect(moved);
        report(window);
    }
    // KWin 6 names them windows, KWin 5 clients.
    (workspace.windowActivated || workspace.clientActivated).connect(activated);
    activated(workspace.activeWindow !== undefined ? workspace.activeWindow : workspace.activeClient);
})();
)JS";

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Only a number with a finite value counts; KWin 6 gives frames in fractions.
std::optional<int> whole(const nlohmann::json& value) {
    if (!value.is_number()) return std::nullopt;
    const double v = value.get<double>();
    if (!std::isfinite(v) || std::fabs(v) > 1e9) return std::nullopt;
    return static_cast<int>(std::lround(v));
}

QString scriptFile() {
    QString folder = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (folder.isEmpty()) folder = QDir::tempPath();
    return folder + QStringLiteral("/wellspire-kwin-%1.js").arg(::getpid());
}

}  // namespace

struct KWinScriptWatcher::Impl {
    mutable std::mutex mutex;
    std::optional<CompositorWindow> active;
    FocusHandler handler;
    std::string kwinOwner;  // KWin's unique bus name now: only its calls count
    std::unique_ptr<KWinScriptReceiver> receiver;
    QString file;

    // Loads the script from `file` into the KWin that owns the name now (a copy left by an earlier
    // run, or by this one in a KWin that restarted, is unloaded first) and starts it.
    void load();
};

void KWinScriptWatcher::Impl::load() {
    auto bus = QDBusConnection::sessionBus();
    const auto service = QString::fromLatin1(kKWinService), path = QString::fromLatin1(kScriptingPath),
               iface = QString::fromLatin1(kScriptingInterface);
    auto unload = QDBusMessage::createMethodCall(service, path, iface, QStringLiteral("unloadScript"));
    unload << QString::fromLatin1(pluginName);
    bus.asyncCall(unload);
    auto call = QDBusMessage::createMethodCall(service, path, iface, QStringLiteral("loadScript"));
    call << file << QString::fromLatin1(pluginName);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), receiver.get());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [service, path, iface](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        QDBusPendingReply<int> reply = *call;
        if (reply.isError() || reply.value() < 0) {
            waylandLog("KWIN did not load the window script: " +
                       (reply.isError() ? reply.error().message().toStdString() : std::string("refused")));
            return;
        }
        // Runs every script loaded and not yet running: ours.
        QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(service, path, iface, QStringLiteral("start")));
    });
}

bool KWinScriptWatcher::available() {
    auto* bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(QString::fromLatin1(kKWinService)).value();
}

std::string KWinScriptWatcher::script(const std::string& service) {
    std::string text = kScriptText;
    replaceAll(text, "@SERVICE@", service);
    replaceAll(text, "@PATH@", objectPath);
    replaceAll(text, "@INTERFACE@", interfaceName);
    return text;
}

std::optional<CompositorWindow> KWinScriptWatcher::windowOfReport(const std::string& report) {
    const auto message = nlohmann::json::parse(report, nullptr, false);
    if (!message.is_object() || message.empty()) return std::nullopt;
    CompositorWindow w;
    if (const auto id = message.find("id"); id != message.end() && id->is_string())
        w.id = std::hash<std::string>{}(id->get<std::string>());
    if (const auto pid = message.find("pid"); pid != message.end())
        if (const auto p = whole(*pid); p && *p > 0) w.pid = *p;
    if (const auto cls = message.find("resourceClass"); cls != message.end() && cls->is_string()) w.appId = cls->get<std::string>();
    if (const auto title = message.find("caption"); title != message.end() && title->is_string()) w.title = title->get<std::string>();
    const auto field = [&](const char* key) {
        const auto it = message.find(key);
        return it == message.end() ? std::optional<int>() : whole(*it);
    };
    const auto x = field("x"), y = field("y"), width = field("width"), height = field("height");
    if (x && y && width && height) w.frame = {*x, *y, *width, *height};
    if (!w.pid && w.appId.empty()) return std::nullopt;
    w.focused = true;
    w.visible = true;
    return w;
}

void KWinScriptWatcher::received(const std::string& sender, const std::string& report) {
    FocusHandler tell;
    std::optional<CompositorWindow> window;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->kwinOwner.empty() || sender != impl_->kwinOwner) return;
        window = windowOfReport(report);
        const bool changed = window.has_value() != impl_->active.has_value() ||
                             (window && (window->id != impl_->active->id || window->pid != impl_->active->pid));
        impl_->active = window;
        if (changed) tell = impl_->handler;
    }
    if (tell) tell(window);
}

KWinScriptWatcher::KWinScriptWatcher() : impl_(std::make_shared<Impl>()) {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    if (auto* names = bus.interface()) {
        const auto owner = names->serviceOwner(QString::fromLatin1(kKWinService));
        if (owner.isValid()) impl_->kwinOwner = owner.value().toStdString();
    }
    std::weak_ptr<Impl> weak = impl_;
    KWinScriptWatcher* self = this;
    impl_->receiver = std::make_unique<KWinScriptReceiver>([self, weak](const std::string& sender, const std::string& report) {
        if (weak.lock()) self->received(sender, report);
    });
    if (!bus.registerObject(QString::fromLatin1(objectPath), impl_->receiver.get(), QDBusConnection::ExportScriptableSlots))
        return;

    // The script goes to a file of ours that KWin reads.
    impl_->file = scriptFile();
    QFile file(impl_->file);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QByteArray::fromStdString(script(bus.baseService().toStdString())));
    file.close();

    // KWin may restart (a crash, a replace): its reports then come from its new name, and the
    // script, gone with the old KWin, is loaded into the new one.
    auto* owners = new QDBusServiceWatcher(QString::fromLatin1(kKWinService), bus, QDBusServiceWatcher::WatchForOwnerChange,
                                           impl_->receiver.get());
    QObject::connect(owners, &QDBusServiceWatcher::serviceOwnerChanged, impl_->receiver.get(),
                     [weak](const QString&, const QString&, const QString& owner) {
                         auto impl = weak.lock();
                         if (!impl) return;
                         {
                             std::lock_guard lock(impl->mutex);
                             impl->kwinOwner = owner.toStdString();
                         }
                         if (owner.isEmpty()) {
                             waylandLog("KWIN left the session bus; waiting for it to come back");
                             return;
                         }
                         waylandLog("KWIN is on the session bus again; loading the window script");
                         impl->load();
                     });
    impl_->load();
}

KWinScriptWatcher::~KWinScriptWatcher() {
    auto bus = QDBusConnection::sessionBus();
    if (impl_->receiver) {
        auto unload = QDBusMessage::createMethodCall(QString::fromLatin1(kKWinService), QString::fromLatin1(kScriptingPath),
                                                     QString::fromLatin1(kScriptingInterface), QStringLiteral("unloadScript"));
        unload << QString::fromLatin1(pluginName);
        bus.asyncCall(unload);
        bus.unregisterObject(QString::fromLatin1(objectPath));
    }
    if (!impl_->file.isEmpty()) QFile::remove(impl_->file);
}

std::vector<CompositorWindow> KWinScriptWatcher::windows() const {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->active) return {};
    return {*impl_->active};
}

std::optional<CompositorWindow> KWinScriptWatcher::focusedWindow() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->active;
}

void KWinScriptWatcher::followFocus(FocusHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

FocusedWindowQuery KWinScriptWatcher::focusedWindowQuery() const {
    std::weak_ptr<Impl> weak = impl_;
    return [weak]() -> std::optional<DesktopRect> {
        auto impl = weak.lock();
        if (!impl) return std::nullopt;
        std::lock_guard lock(impl->mutex);
        if (!impl->active) return std::nullopt;
        return impl->active->frame;
    };
}

}  // namespace linuxplatform
