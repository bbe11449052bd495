#include "platform/linux/consent/SessionLock.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <unistd.h>

namespace linuxplatform {

namespace {

const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

struct Saver {
    QString service;
    QString path;
};
// KDE's also answers at /ScreenSaver; the signal is taken from any path of the service.
const Saver kFreedesktop{QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver")};
const Saver kGnome{QStringLiteral("org.gnome.ScreenSaver"), QStringLiteral("/org/gnome/ScreenSaver")};

const char* const kNames[] = {"logind-locked", "logind-inactive", "org.freedesktop.ScreenSaver",
                              "org.gnome.ScreenSaver", "x-screensaver"};

// Nothing is started for the question: a screensaver that is not running is not locking anything.
QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setAutoStartService(false);
    return message;
}

}  // namespace

SessionLock::SessionLock(QDBusConnection system, QDBusConnection session)
    : system_(std::move(system)), session_(std::move(session)) {
    followLogind();
    followScreenSaver(FreedesktopSaver);
    followScreenSaver(GnomeSaver);
}

SessionLock::~SessionLock() = default;

void SessionLock::followLogind() {
    if (!system_.isConnected()) return;
    // The session the agent runs in: the one the desktop named, or the one its process belongs to.
    const QByteArray id = qgetenv("XDG_SESSION_ID");
    QDBusMessage find = call(kLogin1, kManagerPath, kManager, id.isEmpty() ? "GetSessionByPID" : "GetSession");
    if (id.isEmpty())
        find << static_cast<uint>(::getpid());
    else
        find << QString::fromUtf8(id);
    const QDBusMessage reply = system_.call(find, QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
    logindSession_ = reply.arguments().first().value<QDBusObjectPath>().path();
    if (logindSession_.isEmpty()) return;
    system_.connect(kLogin1, logindSession_, kProperties, QStringLiteral("PropertiesChanged"), this,
                    SLOT(logindChanged(QDBusMessage)));
    askLogind(true);
}

void SessionLock::askLogind(bool wait) {
    QDBusMessage getAll = call(kLogin1, logindSession_, kProperties, QStringLiteral("GetAll"));
    getAll << kSession;
    if (wait) {
        const QDBusMessage reply = system_.call(getAll, QDBus::Block, timeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            takeLogind(qdbus_cast<QVariantMap>(reply.arguments().first()));
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(system_.asyncCall(getAll, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QVariantMap> reply = *w;
        if (reply.isValid()) takeLogind(reply.value());
    });
}

void SessionLock::takeLogind(const QVariantMap& properties) {
    if (properties.contains(QStringLiteral("LockedHint")))
        set(LogindLocked, properties.value(QStringLiteral("LockedHint")).toBool());
    if (properties.contains(QStringLiteral("Active")))
        set(LogindInactive, !properties.value(QStringLiteral("Active")).toBool());
}

void SessionLock::logindChanged(const QDBusMessage& message) {
    const auto args = message.arguments();
    if (args.size() < 2 || args.at(0).toString() != kSession) return;
    takeLogind(qdbus_cast<QVariantMap>(args.at(1)));
    // Named without a value: asked again.
    if (args.size() >= 3) {
        const QStringList invalidated = args.at(2).toStringList();
        if (invalidated.contains(QStringLiteral("LockedHint")) || invalidated.contains(QStringLiteral("Active")))
            askLogind(false);
    }
}

void SessionLock::followScreenSaver(Source source) {
    if (!session_.isConnected()) return;
    const Saver& saver = source == GnomeSaver ? kGnome : kFreedesktop;
    session_.connect(saver.service, QString(), saver.service, QStringLiteral("ActiveChanged"), this,
                     SLOT(screenSaverChanged(QDBusMessage)));
    // A screensaver started or restarted later is asked then; one that goes away locks nothing.
    auto* watcher = new QDBusServiceWatcher(saver.service, session_,
                                            QDBusServiceWatcher::WatchForRegistration |
                                                QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this, source] { askScreenSaver(source, false); });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this, source] { set(source, false); });
    askScreenSaver(source, true);
}

void SessionLock::askScreenSaver(Source source, bool wait) {
    const Saver& saver = source == GnomeSaver ? kGnome : kFreedesktop;
    const QDBusMessage getActive = call(saver.service, saver.path, saver.service, QStringLiteral("GetActive"));
    if (wait) {
        const QDBusMessage reply = session_.call(getActive, QDBus::Block, timeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            set(source, reply.arguments().first().toBool());
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(session_.asyncCall(getActive, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, source](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<bool> reply = *w;
        if (reply.isValid()) set(source, reply.value());
    });
}

void SessionLock::screenSaverChanged(const QDBusMessage& message) {
    if (message.arguments().isEmpty()) return;
    set(message.interface() == kGnome.service ? GnomeSaver : FreedesktopSaver,
        message.arguments().first().toBool());
}

void SessionLock::setScreenSaverOn(bool on) { set(XScreenSaver, on); }

void SessionLock::set(Source source, bool on) {
    says_[source] = on;
    bool any = false;
    for (bool says : says_) any = any || says;
    if (locked_.exchange(any) == any) return;
    for (const auto& observer : observers_) observer();
}

std::string SessionLock::why() const {
    std::string names;
    for (int i = 0; i < Sources; ++i)
        if (says_[i]) names += (names.empty() ? "" : " ") + std::string(kNames[i]);
    return names.empty() ? "none" : names;
}

void SessionLock::onChange(std::function<void()> observer) { observers_.push_back(std::move(observer)); }

}  // namespace linuxplatform
