#include "platform/linux/shell/QtReachHint.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>

namespace linuxplatform {

void QtReachHint::scheduleIfNoStatusArea(std::shared_ptr<platform::UserDefaults> defaults, int delaySeconds) {
    if (!defaults || !qApp) return;
    QTimer::singleShot(delaySeconds * 1000, qApp, [defaults] {
        if (QSystemTrayIcon::isSystemTrayAvailable() || defaults->boolForKey(kShownKey)) return;
        // Remembered first: a crash while showing must not repeat it at every launch.
        defaults->setBool(kShownKey, true);
        showNow();
    });
}

void QtReachHint::showNow() {
    // Asked without waiting: the reply, or the error of a bus with no notification server, comes back later.
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    QVariantMap hints;
    hints.insert("desktop-entry", QStringLiteral("com.wellspire.Agent"));
    call << QStringLiteral("Wellspire Agent") << 0u << QStringLiteral("com.wellspire.Agent") << QString(kSummary)
         << QString(kBody) << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (!w->isError()) return;
        // Shown beside what the user is doing, never in its place: the field they type in keeps the
        // keyboard (the window manager is told not to focus it as it maps), as panels do. A click,
        // or activating it, gives it the keyboard like any window.
        auto* box = new QMessageBox(QMessageBox::Information, "Wellspire Agent", kSummary, QMessageBox::Ok);
        box->setInformativeText(kBody);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setAttribute(Qt::WA_ShowWithoutActivating);
        box->setWindowFlag(Qt::WindowStaysOnTopHint);
        box->setModal(false);
        box->show();
    });
}

}  // namespace linuxplatform
