#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QIcon>
#include <QImage>
#include <QPointer>

#include "platform/Windowing.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

#include "platform/linux/shell/QtStatusWindow.h"

namespace linuxplatform {

class QtStatusImage final : public platform::StatusImage {
public:
    explicit QtStatusImage(QImage image) : image_(std::move(image)) {}
    void setSize(double width, double height) override { width_ = width; height_ = height; }
    void setTemplate(bool isTemplate) override { template_ = isTemplate; }
    // The image drawn at its set size (2× pixels for sharp trays).
    QImage render() const;

private:
    QImage image_;
    double width_ = 0, height_ = 0;
    bool template_ = false;
};

class QtMenuItem final : public platform::MenuItem {
public:
    QtMenuItem(QAction* action, std::string title, std::function<void()> changed)
        : action_(action), title_(std::move(title)), changed_(std::move(changed)) {}
    void setTitle(const std::string& title) override;
    std::string title() const override { return title_; }

private:
    QPointer<QAction> action_;
    std::string title_;
    std::function<void()> changed_;
};

// The status area entry: a tray icon (the emblem with a status dot for the title glyph, the
// glyph and the status line as its tooltip) and its menu. It always has its button: the icon keeps
// its image, and Qt shows it as soon as a status area appears, at login often after the agent.
class QtStatusItem final : public platform::StatusItem {
public:
    QtStatusItem();
    ~QtStatusItem() override;
    bool hasButton() const override { return true; }
    void setImage(std::shared_ptr<platform::StatusImage> image) override;
    void setImageLeftOfTitle() override {}
    void setTitle(const std::string& title) override;
    std::vector<std::shared_ptr<platform::MenuItem>> setMenu(const std::vector<platform::MenuEntry>& entries) override;

    // A line above "Quit" that opens the privacy window, where the desktop has no other way to it.
    void setPrivacyOpener(std::function<void()> open) { openPrivacy_ = std::move(open); }
    static constexpr const char* kPrivacyLine = "Wellspire Privacy…";
    // The small window with the status line and the menu's commands (a second launch shows it).
    void showWindow();

    QSystemTrayIcon* tray() const { return tray_; }
    QMenu* menu() const { return menu_; }
    QtStatusWindow* window() const { return window_; }

private:
    void refresh();
    std::vector<std::string> titles() const;
    std::vector<platform::MenuEntry> windowEntries() const;
    QSystemTrayIcon* tray_;
    QMenu* menu_ = nullptr;
    QPointer<QtStatusWindow> window_;
    std::shared_ptr<QtStatusImage> image_;
    std::string title_;
    std::vector<platform::MenuEntry> entries_;
    // One per entry; nothing for separators.
    std::vector<std::shared_ptr<QtMenuItem>> items_;
    std::function<void()> openPrivacy_;
};

}  // namespace linuxplatform
