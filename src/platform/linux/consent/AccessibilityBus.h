#pragma once
// The session's accessibility bus switch (org.a11y.Status IsEnabled): whether applications expose
// their text to assistive technologies. The bus launcher keeps it and the desktop's own setting
// (toolkit-accessibility) as one: switching the one switches the other. The answer is kept from the
// bus's own change signals and asked again, without waiting, at each question on the main thread.
#include <QDBusConnection>
#include <QObject>

#include <atomic>
#include <functional>
#include <vector>

class QDBusMessage;

namespace linuxplatform {

class AccessibilityBus final : public QObject {
    Q_OBJECT
public:
    // Asks once, waiting at most a moment: launch needs the answer. `bus`: the session bus.
    explicit AccessibilityBus(QDBusConnection bus = QDBusConnection::sessionBus());
    // Any thread; on the main thread it also asks the bus again in the background.
    bool enabled();
    // Any thread: the last answer, without asking again.
    bool known() const { return enabled_.load(); }
    // Any thread: whether the session has an accessibility bus that ever answered.
    bool reachable() const { return reachable_.load(); }
    // Main thread. Asks the bus to switch on or off; `done` learns whether it took. `wait`: block for
    // the answer (a moment at most), as launch and quitting do. Callers switch it on only once the
    // user agreed to typed-text reading.
    void switchTo(bool on, bool wait = false, std::function<void(bool)> done = {});
    // Main thread, whenever the answer changes, whoever changed it.
    void onChange(std::function<void(bool)> observer);

    static constexpr int timeoutMs = 300;

private Q_SLOTS:
    void propertiesChanged(const QDBusMessage& message);

private:
    void set(bool on);
    void ask();
    QDBusConnection bus_;
    std::atomic<bool> enabled_{false};
    std::atomic<bool> reachable_{false};
    bool asking_ = false;
    // Counts what tells the answer for sure (our own switching, the bus's change signals): a reply
    // to a question asked before one of them is stale and is dropped.
    unsigned generation_ = 0;
    std::vector<std::function<void(bool)>> observers_;
};

}  // namespace linuxplatform
