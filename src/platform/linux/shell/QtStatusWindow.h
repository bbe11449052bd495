#pragma once
#include <string>
#include <vector>

#include <QWidget>

#include "platform/Windowing.h"

class QLabel;
class QPushButton;

namespace linuxplatform {

// The agent's small window, for desktops without a status area: opening the agent again from the
// applications shows it. It is drawn from the status menu's own entries: inactive lines become the
// status text, commands become buttons, separators gaps.
class QtStatusWindow final : public QWidget {
    Q_OBJECT
public:
    explicit QtStatusWindow(const std::vector<platform::MenuEntry>& entries);
    // The current titles, one per entry as given (ignored for separators).
    void setTitles(const std::vector<std::string>& titles);
    // Shown, raised and given the focus, as an application window opened by the user.
    void present();

    static constexpr const char* kTitle = "Wellspire Agent";

private:
    // One per entry; nullptr for separators.
    std::vector<QWidget*> rows_;
};

}  // namespace linuxplatform
