#include "platform/linux/wayland/PortalScreenCastSession.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <atomic>

#include "PortalScreenCastProxy.h"

namespace linuxplatform {

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kDesktopPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

constexpr uint kMonitor = 1;         // source type
constexpr uint kCursorHidden = 1;    // cursor mode
constexpr uint kPersistUntilRevoked = 2;

// A bus name as the portal writes it into object paths: ":1.42" becomes "1_42".
QString pathPart(const QString& uniqueName) {
    QString part = uniqueName.startsWith(u':') ? uniqueName.mid(1) : uniqueName;
    return part.replace(u'.', u'_');
}

std::pair<int, int> pairOf(const QVariant& value) {
    int a = 0, b = 0;
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const auto arg = value.value<QDBusArgument>();
        arg.beginStructure();
        arg >> a >> b;
        arg.endStructure();
    }
    return {a, b};
}

QString pathOf(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
    return value.toString();
}

}  // namespace

PortalScreenCastSession::PortalScreenCastSession(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

PortalScreenCastSession::~PortalScreenCastSession() { close(); }

QString PortalScreenCastSession::requestPath(const QString& uniqueName, const QString& token) {
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(pathPart(uniqueName), token);
}

QString PortalScreenCastSession::sessionPath(const QString& uniqueName, const QString& token) {
    return QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2").arg(pathPart(uniqueName), token);
}

QString PortalScreenCastSession::nextToken() {
    // Unique for this connection, whichever session object asks.
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("wellspire%1").arg(++counter);
}

void PortalScreenCastSession::start(const QString& restoreToken) {
    if (state_ != State::Idle) return;
    if (!bus_.isConnected()) return fail(QStringLiteral("no D-Bus session bus"));
    restoreToken_ = restoreToken;
    newToken_.clear();
    stream_ = {};
    state_ = State::Properties;
    // The constructor asks the bus who owns the portal's name; done here, on this object's thread.
    if (!portal_)
        portal_ = std::make_unique<OrgFreedesktopPortalScreenCastInterface>(kPortal, kDesktopPath, bus_);
    auto message = QDBusMessage::createMethodCall(kPortal, kDesktopPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                  QStringLiteral("GetAll"));
    message << QString::fromLatin1(kScreenCast);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    const auto serial = serial_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, serial](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (serial == serial_) onProperties(call);
    });
}

void PortalScreenCastSession::onProperties(QDBusPendingCallWatcher* call) {
    QDBusPendingReply<QVariantMap> reply = *call;
    if (reply.isError()) return fail(QStringLiteral("no screen-cast portal: ") + reply.error().message());
    const QVariantMap properties = reply.value();
    if (!(properties.value(QStringLiteral("AvailableSourceTypes")).toUInt() & kMonitor))
        return fail(QStringLiteral("the screen-cast portal cannot share a monitor"));
    cursorModes_ = properties.value(QStringLiteral("AvailableCursorModes")).toUInt();
    version_ = properties.value(QStringLiteral("version")).toUInt();

    state_ = State::CreatingSession;
    const QString sessionToken = nextToken();
    request(SLOT(onCreateSessionResponse(uint, QVariantMap)), [&](const QString& token) {
        return portal_->CreateSession(
            {{QStringLiteral("handle_token"), token}, {QStringLiteral("session_handle_token"), sessionToken}});
    });
}

void PortalScreenCastSession::onCreateSessionResponse(uint response, const QVariantMap& results) {
    stopListening();
    if (response != 0) return fail(QStringLiteral("the screen-cast portal did not create a session"));
    sessionPath_ = pathOf(results.value(QStringLiteral("session_handle")));
    if (sessionPath_.isEmpty()) return fail(QStringLiteral("the screen-cast portal gave no session"));
    bus_.connect(kPortal, sessionPath_, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QVariantMap)));

    state_ = State::SelectingSources;
    QVariantMap options{{QStringLiteral("types"), kMonitor}, {QStringLiteral("multiple"), false}};
    if (cursorModes_ & kCursorHidden) options.insert(QStringLiteral("cursor_mode"), kCursorHidden);
    // Remembering the choice came with version 4 of the interface; older portals reject the keys.
    if (version_ >= 4) {
        options.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
        if (!restoreToken_.isEmpty()) options.insert(QStringLiteral("restore_token"), restoreToken_);
    }
    request(SLOT(onSelectSourcesResponse(uint, QVariantMap)), [&](const QString& token) {
        options.insert(QStringLiteral("handle_token"), token);
        return portal_->SelectSources(QDBusObjectPath(sessionPath_), options);
    });
}

void PortalScreenCastSession::onSelectSourcesResponse(uint response, const QVariantMap&) {
    stopListening();
    if (response != 0) return fail(QStringLiteral("the screen-cast portal refused the monitor"));
    state_ = State::Starting;
    // This is where the desktop asks the user, unless the restore token still holds.
    request(SLOT(onStartResponse(uint, QVariantMap)), [&](const QString& token) {
        return portal_->Start(QDBusObjectPath(sessionPath_), QString(), {{QStringLiteral("handle_token"), token}});
    });
}

void PortalScreenCastSession::onStartResponse(uint response, const QVariantMap& results) {
    stopListening();
    if (response == 1) return fail(declined());
    if (response != 0) return fail(QStringLiteral("the screen-cast portal could not start"));
    // streams: a(ua{sv}), the node and its properties; one monitor was asked for.
    bool found = false;
    if (results.value(QStringLiteral("streams")).userType() == qMetaTypeId<QDBusArgument>()) {
        const auto streams = results.value(QStringLiteral("streams")).value<QDBusArgument>();
        streams.beginArray();
        while (!streams.atEnd()) {
            uint node = 0;
            QVariantMap properties;
            streams.beginStructure();
            streams >> node >> properties;
            streams.endStructure();
            if (found) continue;
            found = true;
            stream_.node = node;
            std::tie(stream_.x, stream_.y) = pairOf(properties.value(QStringLiteral("position")));
            std::tie(stream_.width, stream_.height) = pairOf(properties.value(QStringLiteral("size")));
        }
        streams.endArray();
    }
    if (!found) return fail(QStringLiteral("the screen-cast portal gave no stream"));
    newToken_ = results.value(QStringLiteral("restore_token")).toString();

    state_ = State::OpeningRemote;
    auto* watcher = new QDBusPendingCallWatcher(portal_->OpenPipeWireRemote(QDBusObjectPath(sessionPath_), {}), this);
    const auto serial = serial_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, serial](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (serial == serial_) onRemoteOpened(call);
    });
}

void PortalScreenCastSession::onRemoteOpened(QDBusPendingCallWatcher* call) {
    QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
    if (reply.isError() || !reply.value().isValid())
        return fail(QStringLiteral("the screen-cast portal gave no PipeWire remote"));
    state_ = State::Running;
    Q_EMIT started(reply.value(), stream_, newToken_);
}

void PortalScreenCastSession::onSessionClosed(const QVariantMap&) {
    // A session already given up (its refusal answered, or closed by us) has nothing more to say.
    if (state_ == State::Idle) return;
    const bool running = state_ == State::Running;
    bus_.disconnect(kPortal, sessionPath_, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QVariantMap)));
    sessionPath_.clear();  // already gone: nothing to close
    // GNOME closes the session as the user cancels its dialog, before Start's answer says so: that
    // answer tells a refusal from a failure.
    if (state_ == State::Starting && !requestPath_.isEmpty()) return;
    stopListening();
    ++serial_;
    state_ = State::Idle;
    if (running) Q_EMIT closed();
    else Q_EMIT failed(QStringLiteral("the screen-cast session ended"));
}

bool PortalScreenCastSession::request(const char* slot, const std::function<QDBusPendingCall(const QString&)>& send) {
    const QString token = nextToken();
    // Listen before asking, so that an answer cannot come first.
    requestPath_ = requestPath(bus_.baseService(), token);
    requestSlot_ = slot;
    if (!bus_.connect(kPortal, requestPath_, kRequest, QStringLiteral("Response"), this, slot)) {
        requestPath_.clear();
        fail(QStringLiteral("cannot listen to the screen-cast portal"));
        return false;
    }
    auto* watcher = new QDBusPendingCallWatcher(send(token), this);
    const auto serial = serial_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, serial, expected = requestPath_](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (serial != serial_) return;
        QDBusPendingReply<QDBusObjectPath> reply = *call;
        if (reply.isError()) return fail(QStringLiteral("the screen-cast portal: ") + reply.error().message());
        // Answered already (and the next step asked): nothing left to follow.
        if (requestPath_ != expected) return;
        const QString used = reply.value().path();
        if (used != requestPath_) {
            const char* pending = requestSlot_;
            stopListening();
            requestPath_ = used;
            requestSlot_ = pending;
            bus_.connect(kPortal, requestPath_, kRequest, QStringLiteral("Response"), this, pending);
        }
    });
    return true;
}

void PortalScreenCastSession::stopListening() {
    if (!requestPath_.isEmpty() && requestSlot_)
        bus_.disconnect(kPortal, requestPath_, kRequest, QStringLiteral("Response"), this, requestSlot_);
    requestPath_.clear();
    requestSlot_ = nullptr;
}

void PortalScreenCastSession::fail(const QString& why) {
    close();
    Q_EMIT failed(why);
}

void PortalScreenCastSession::close() {
    ++serial_;
    if (!requestPath_.isEmpty()) {
        // A dialog still open goes away with its request.
        bus_.send(QDBusMessage::createMethodCall(kPortal, requestPath_, kRequest, QStringLiteral("Close")));
        stopListening();
    }
    if (!sessionPath_.isEmpty()) {
        bus_.disconnect(kPortal, sessionPath_, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QVariantMap)));
        bus_.send(QDBusMessage::createMethodCall(kPortal, sessionPath_, kSession, QStringLiteral("Close")));
        sessionPath_.clear();
    }
    state_ = State::Idle;
}

}  // namespace linuxplatform
