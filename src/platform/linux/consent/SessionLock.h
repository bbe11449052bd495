#pragma once
// Whether the user's session is locked or out of use, from everything that can say so: logind's
// session (locked, or not the active one: another user's, or a switched-away console), the desktop's
// screensaver interface (KDE and others at org.freedesktop.ScreenSaver, GNOME at
// org.gnome.ScreenSaver), and the display server's own screen saver, which the session's backend
// feeds in. Locked when any of them says so. A source that is not there counts as unlocked: a
// session without logind or a screensaver service still reads. While locked nothing is read, as
// if the user had withdrawn their consent, and reading resumes on unlock.
#include <QDBusConnection>
#include <QObject>

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

class QDBusMessage;

namespace linuxplatform {

class SessionLock final : public QObject {
    Q_OBJECT
public:
    // Main thread. Asks each source once, waiting a moment at most: launch must not read a locked
    // screen. `system`, `session`: the buses (tests give private ones).
    explicit SessionLock(QDBusConnection system = QDBusConnection::systemBus(),
                         QDBusConnection session = QDBusConnection::sessionBus());
    ~SessionLock() override;

    // Any thread.
    bool locked() const { return locked_.load(); }
    // Main thread: which sources say locked now ("logind-locked x-screensaver"), or "none".
    std::string why() const;
    // Main thread, whenever locked() changes.
    void onChange(std::function<void()> observer);
    // Main thread: what the display server's screen saver says.
    void setScreenSaverOn(bool on);

    static constexpr int timeoutMs = 300;

private Q_SLOTS:
    void logindChanged(const QDBusMessage& message);
    void screenSaverChanged(const QDBusMessage& message);

private:
    enum Source { LogindLocked, LogindInactive, FreedesktopSaver, GnomeSaver, XScreenSaver, Sources };
    void followLogind();
    void followScreenSaver(Source source);
    void askLogind(bool wait);
    void askScreenSaver(Source source, bool wait);
    void takeLogind(const QVariantMap& properties);
    void set(Source source, bool on);

    QDBusConnection system_;
    QDBusConnection session_;
    QString logindSession_;  // the session's object path, once known
    std::array<bool, Sources> says_{};
    std::atomic<bool> locked_{false};
    std::vector<std::function<void()>> observers_;
};

}  // namespace linuxplatform
