#pragma once
// The session's accessibility bus switch (org.a11y.Status IsEnabled): whether applications expose
// their text to assistive technologies. The answer is kept from the bus's own change signals and
// asked again, without waiting, at each question on the main thread.
#include <QObject>

#include <atomic>
#include <functional>
#include <vector>

class QDBusMessage;

namespace linuxplatform {

class AccessibilityBus final : public QObject {
    Q_OBJECT
public:
    // Asks once, waiting at most a moment: launch needs the answer.
    AccessibilityBus();
    // Any thread; on the main thread it also asks the bus again in the background.
    bool enabled();
    // Asks the bus to switch on. Only called once the user agreed to typed-text reading. `wait`: block
    // for the answer (a moment at most), as launch does.
    void enable(bool wait = false);
    // Main thread, whenever the answer changes.
    void onChange(std::function<void(bool)> observer);

    static constexpr int timeoutMs = 300;

private Q_SLOTS:
    void propertiesChanged(const QDBusMessage& message);

private:
    void set(bool on);
    void ask();
    std::atomic<bool> enabled_{false};
    bool asking_ = false;
    std::vector<std::function<void(bool)>> observers_;
};

}  // namespace linuxplatform
