#include "platform/linux/common/AccessibilityBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QThread>

namespace linuxplatform {

namespace {

const QString kService = QStringLiteral("org.a11y.Bus");
const QString kPath = QStringLiteral("/org/a11y/bus");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kStatus = QStringLiteral("org.a11y.Status");
const QString kIsEnabled = QStringLiteral("IsEnabled");

QDBusMessage getter() {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Get"));
    call << kStatus << kIsEnabled;
    return call;
}

bool onMainThread() {
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

}  // namespace

AccessibilityBus::AccessibilityBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.connect(kService, kPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                SLOT(propertiesChanged(QDBusMessage)));
    const QDBusMessage reply = bus.call(getter(), QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        enabled_.store(reply.arguments().first().value<QDBusVariant>().variant().toBool());
}

bool AccessibilityBus::enabled() {
    if (onMainThread()) ask();
    return enabled_.load();
}

void AccessibilityBus::ask() {
    if (asking_) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    asking_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(getter(), timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        asking_ = false;
        QDBusPendingReply<QDBusVariant> reply = *w;
        if (reply.isValid()) set(reply.value().variant().toBool());
        w->deleteLater();
    });
}

void AccessibilityBus::enable(bool wait) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Set"));
    call << kStatus << kIsEnabled << QVariant::fromValue(QDBusVariant(true));
    if (wait) {
        if (bus.call(call, QDBus::Block, timeoutMs).type() == QDBusMessage::ReplyMessage) set(true);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        if (!w->isError()) set(true);
        w->deleteLater();
    });
}

void AccessibilityBus::onChange(std::function<void(bool)> observer) { observers_.push_back(std::move(observer)); }

void AccessibilityBus::propertiesChanged(const QDBusMessage& message) {
    const auto args = message.arguments();
    if (args.size() < 2 || args.at(0).toString() != kStatus) return;
    const QVariantMap changed = qdbus_cast<QVariantMap>(args.at(1));
    if (changed.contains(kIsEnabled)) set(changed.value(kIsEnabled).toBool());
}

void AccessibilityBus::set(bool on) {
    if (enabled_.exchange(on) == on) return;
    for (const auto& observer : observers_) observer(on);
}

}  // namespace linuxplatform
