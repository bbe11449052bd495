#pragma once
// Publishes every top-level window of the agent (panels, the privacy and status windows, alerts,
// menus, the reach hint) to OwnWindows while it is shown, with its frame as the desktop lays it out
// and whether it has the focus, so that no capture reads the agent's own text and no reading is taken
// while the user is in one of its windows.
#include <QObject>
#include <QSet>

class QTimer;
class QWidget;

namespace linuxplatform {

class QtOwnWindows final : public QObject {
    Q_OBJECT
public:
    // Watches the whole application from now on; main thread, after the QApplication exists.
    static void install();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit QtOwnWindows(QObject* parent);
    // The frame `window` covers on the desktop, title bar included where the desktop draws one, and
    // how it looks now.
    void publish(QWidget* window);
    QSet<QObject*> watching_;
    // Windows drawn again since they were last published; published once drawing settles.
    QSet<QObject*> redrawn_;
    QTimer* settle_;
    bool grabbing_ = false;  // a picture of our own draws the window: not a change
};

}  // namespace linuxplatform
