#pragma once
#include <string>

#include "platform/Windowing.h"

// The look of a check-in panel, computed here and only rendered by the windowing layer.
namespace CheckInLayout {

inline constexpr double kWidth = 380;
inline constexpr double kTextWidth = 340;
inline constexpr double kMargin = 20;
inline constexpr double kButtonHeight = 30;
inline constexpr double kSmallButtonWidth = 108;

struct Actions {
    platform::PanelAction openChat;
    platform::PanelAction ignore1h;
    platform::PanelAction ignore2h;
    platform::PanelAction dismiss;
};

// Measures the title and message with `windowing` and lays out every element, bottom up.
platform::PanelLayout build(platform::Windowing& windowing, const std::string& title, const std::string& message,
                            bool crisis, const Actions& actions);

}  // namespace CheckInLayout
