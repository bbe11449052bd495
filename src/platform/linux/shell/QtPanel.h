#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "platform/Windowing.h"

namespace linuxplatform {

class PanelPlacement;
class PanelWidget;

// A check-in panel: a frameless, always-on-top tool window on every desktop that never takes
// focus, drawn from the layout the logic computed. How the display system keeps it there is the
// placement's business; without one the window is left to Qt's defaults.
class QtPanel final : public platform::Panel, public std::enable_shared_from_this<QtPanel> {
public:
    static std::shared_ptr<QtPanel> create(const platform::PanelLayout& layout,
                                           std::shared_ptr<PanelPlacement> placement = {});
    ~QtPanel() override;

    bool isVisible() const override;
    platform::Rect frame() const override;
    void setFrameOrigin(platform::Point origin) override;
    void orderFrontRegardless() override;
    void close() override;
    std::string identifier() const override { return layout_.identifier; }

private:
    QtPanel(const platform::PanelLayout& layout, std::shared_ptr<PanelPlacement> placement);
    void build();

    platform::PanelLayout layout_;
    std::shared_ptr<PanelPlacement> placement_;
    QPointer<PanelWidget> widget_;
};

// Assistive technologies meet a panel as an alert named by its title and described by its message,
// and its buttons as push buttons with a "click" action, all without the panel taking focus.
class PanelWidget final : public QWidget {
    Q_OBJECT
public:
    explicit PanelWidget(const platform::PanelLayout& layout);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const platform::PanelLayout layout_;  // a copy: the widget may outlive its QtPanel briefly
};

class PanelButton final : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
};

}  // namespace linuxplatform
