#include "platform/linux/consent/AccessibilityBus.h"

#include <QCoreApplication>
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

AccessibilityBus::AccessibilityBus(QDBusConnection bus) : bus_(std::move(bus)) {
    if (!bus_.isConnected()) return;
    bus_.connect(kService, kPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                 SLOT(propertiesChanged(QDBusMessage)));
    const QDBusMessage reply = bus_.call(getter(), QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        reachable_.store(true);
        enabled_.store(reply.arguments().first().value<QDBusVariant>().variant().toBool());
    }
}

bool AccessibilityBus::enabled() {
    if (onMainThread()) ask();
    return enabled_.load();
}

void AccessibilityBus::ask() {
    if (asking_ || !bus_.isConnected()) return;
    asking_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(getter(), timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, asked = generation_](QDBusPendingCallWatcher* w) {
                asking_ = false;
                w->deleteLater();
                QDBusPendingReply<QDBusVariant> reply = *w;
                if (reply.isValid()) reachable_.store(true);
                // Asked before our own switching or a change signal: the answer is older than theirs.
                if (reply.isValid() && asked == generation_) set(reply.value().variant().toBool());
            });
}

void AccessibilityBus::switchTo(bool on, bool wait, std::function<void(bool)> done) {
    if (!bus_.isConnected()) {
        if (done) done(false);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Set"));
    call << kStatus << kIsEnabled << QVariant::fromValue(QDBusVariant(on));
    ++generation_;
    if (wait) {
        const bool ok = bus_.call(call, QDBus::Block, timeoutMs).type() == QDBusMessage::ReplyMessage;
        if (ok) set(on);
        if (done) done(ok);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, on, done = std::move(done)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const bool ok = !w->isError();
                if (ok) {
                    ++generation_;
                    set(on);
                }
                if (done) done(ok);
            });
}

void AccessibilityBus::onChange(std::function<void(bool)> observer) { observers_.push_back(std::move(observer)); }

void AccessibilityBus::propertiesChanged(const QDBusMessage& message) {
    const auto args = message.arguments();
    if (args.size() < 2 || args.at(0).toString() != kStatus) return;
    const QVariantMap changed = qdbus_cast<QVariantMap>(args.at(1));
    if (!changed.contains(kIsEnabled)) return;
    ++generation_;
    set(changed.value(kIsEnabled).toBool());
}

void AccessibilityBus::set(bool on) {
    if (enabled_.exchange(on) == on) return;
    for (const auto& observer : observers_) observer(on);
}

}  // namespace linuxplatform
