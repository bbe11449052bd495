#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/Windowing.h"
#include "platform/linux/common/CanberraSound.h"
#include "platform/linux/common/FocusedWindow.h"

namespace linuxplatform {

class PanelPlacement;
class QtStatusItem;

// Status item, menu, alerts and check-in panels on Qt Widgets.
class QtWindowing final : public platform::Windowing {
public:
    // Without a way to find the focused window, panels go to the primary screen; without a
    // placement, panels are plain frameless windows.
    explicit QtWindowing(FocusedWindowQuery focusedWindow = {}, std::shared_ptr<PanelPlacement> placement = {});
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
    std::string placeName(platform::Place place) override;
    void terminate() override;

    // What the agent's settings links and its menu's privacy line open: the privacy window.
    void setPrivacyOpener(std::function<void()> open) { openPrivacy_ = std::move(open); }

    // The agent opened again from the applications: the status item's window, once there is one.
    void showStatusWindow();

private:
    FocusedWindowQuery focusedWindow_;
    std::shared_ptr<PanelPlacement> placement_;
    CanberraSound sound_;
    std::function<void()> openPrivacy_;
    std::weak_ptr<QtStatusItem> statusItem_;
};

}  // namespace linuxplatform
