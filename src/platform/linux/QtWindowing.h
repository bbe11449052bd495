#pragma once
#include <memory>
#include <string>

#include "platform/Windowing.h"
#include "platform/linux/CanberraSound.h"
#include "platform/linux/FocusedWindow.h"

namespace linuxplatform {

// Status item, menu, alerts and check-in panels on Qt Widgets.
class QtWindowing final : public platform::Windowing {
public:
    // Without a way to find the focused window, panels go to the primary screen.
    explicit QtWindowing(FocusedWindowQuery focusedWindow = {});
    ~QtWindowing() override;
    void setAccessoryActivationPolicy() override;
    std::shared_ptr<platform::StatusItem> createStatusItem() override;
    std::shared_ptr<platform::StatusImage> loadImage(const std::string& path) override;
    std::shared_ptr<platform::StatusImage> namedImage(const std::string& name) override;
    int runModal(const platform::Alert& alert) override;
    std::shared_ptr<platform::Panel> createPanel(const platform::PanelLayout& layout) override;
    std::optional<platform::Rect> mainScreenVisibleFrame() override;
    double textHeight(const std::string& text, platform::Font font, double width) override;
    void playSound(const std::string& name) override;
    bool openURL(const std::string& url) override;
    void terminate() override;

    // The desktop's settings panel for a System Settings URL, as a command line, or nothing.
    static std::optional<std::vector<std::string>> settingsCommand(const std::string& url);

private:
    FocusedWindowQuery focusedWindow_;
    CanberraSound sound_;
};

}  // namespace linuxplatform
