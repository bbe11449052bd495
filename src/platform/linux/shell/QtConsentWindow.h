#pragma once
// The agent's privacy window: what it reads, what it sends where, what it never records, and the
// switches with which the user agrees to each kind of reading or withdraws it. It is what the
// agent's permission prompts and settings links open.
#include <functional>
#include <memory>
#include <string>

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace linuxplatform {

class ApplicationIdentity;
class Autostart;
class CaptureStanding;
class Consent;
class ConsentAccessibility;

class QtConsentWindow final : public QWidget {
    Q_OBJECT
public:
    // `backend` names where the texts go, read each time the window is shown. `autostart`, when
    // given, backs the start-at-login switch.
    QtConsentWindow(std::shared_ptr<Consent> consent, std::function<std::string()> backend,
                    std::shared_ptr<Autostart> autostart = nullptr);
    // Shows the window in front, or brings it there.
    void present();
    // Says when the desktop's accessibility switch is off under the agent, and offers to switch it on.
    void followAccessibility(std::shared_ptr<ConsentAccessibility> accessibility);
    // Explains a screen sharing the desktop does not give, and asks for it again when the window opens.
    void followCapture(std::shared_ptr<CaptureStanding> standing);
    // Offers the "never read" list, with the running and installed applications to pick from.
    void offerNeverRead(std::shared_ptr<ApplicationIdentity> identity);

    static constexpr const char* kTitle = "Wellspire Privacy";

private:
    void sync();
    void fitHeight();
    // The switch as the user set it, and what the disk said to it.
    void changed(bool typed, bool on, bool saved);
    void savedOrNot(bool saved, const QString& refused);
    void fillChoices();
    std::shared_ptr<Consent> consent_;
    std::function<std::string()> backend_;
    std::shared_ptr<Autostart> autostart_;
    QCheckBox* typedText_;
    QCheckBox* screenText_;
    QCheckBox* atLogin_ = nullptr;
    QCheckBox* privateBrowsing_;
    QWidget* neverRead_;
    QListWidget* neverReadList_;
    QComboBox* choices_;
    QPushButton* remove_;
    std::shared_ptr<ApplicationIdentity> identity_;
    QLabel* sends_;
    QLabel* notice_;
    QWidget* switchedOff_;
    std::shared_ptr<ConsentAccessibility> accessibility_;
    QLabel* sharing_;
    std::shared_ptr<CaptureStanding> standing_;
};

}  // namespace linuxplatform
