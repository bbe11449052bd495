#pragma once
// Publishes every top-level window of the agent (panels, the privacy and status windows, alerts,
// menus, the reach hint) to OwnWindows while it is shown, with its frame as the desktop lays it out
// and whether it has the focus, so that no capture reads the agent's own text and no reading is taken
// while the user is in one of its windows.
#include <QObject>
#include <QSet>

class QWidget;

namespace linuxplatform {

class QtOwnWindows final : public QObject {
    Q_OBJECT
public:
    // Watches the whole application from now on; main thread, after the QApplication exists.
    static void install();

    // The frame `window` covers on the desktop, title bar included where the desktop draws one.
    static void publish(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
    QSet<QObject*> watching_;
};

}  // namespace linuxplatform
