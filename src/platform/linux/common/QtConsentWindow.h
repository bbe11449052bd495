#pragma once
// The agent's privacy window: what it reads, what it sends where, what it never records, and the
// switches with which the user agrees to each kind of reading or withdraws it. It is what the
// agent's permission prompts and settings links open.
#include <functional>
#include <memory>
#include <string>

#include <QWidget>

class QCheckBox;
class QLabel;

namespace linuxplatform {

class Autostart;
class Consent;

class QtConsentWindow final : public QWidget {
    Q_OBJECT
public:
    // `backend` names where the texts go, read each time the window is shown. `autostart`, when
    // given, backs the start-at-login switch.
    QtConsentWindow(std::shared_ptr<Consent> consent, std::function<std::string()> backend,
                    std::shared_ptr<Autostart> autostart = nullptr);
    // Shows the window in front, or brings it there.
    void present();

    static constexpr const char* kTitle = "Wellspire Privacy";

private:
    void sync();
    std::shared_ptr<Consent> consent_;
    std::function<std::string()> backend_;
    std::shared_ptr<Autostart> autostart_;
    QCheckBox* typedText_;
    QCheckBox* screenText_;
    QCheckBox* atLogin_ = nullptr;
    QLabel* sends_;
};

}  // namespace linuxplatform
