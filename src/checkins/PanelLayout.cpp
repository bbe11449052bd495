#include "checkins/PanelLayout.h"

namespace CheckInLayout {

platform::PanelLayout build(platform::Windowing& windowing, const std::string& title, const std::string& message,
                            bool crisis, const Actions& actions) {
    const platform::Font titleFont{15, true};
    const platform::Font messageFont{13, false};
    const double T = windowing.textHeight(title, titleFont, kTextWidth);
    const double M = windowing.textHeight(message, messageFont, kTextWidth);

    platform::PanelLayout l;
    l.identifier = title + message;
    l.title = title;
    l.message = message;
    l.width = kWidth;
    l.height = T + M + 136;
    l.background = {0.02, 0.024, 0.031, 1.0};
    l.cornerRadius = 16;
    l.borderWidth = 1;
    l.borderColor = {1, 1, 1, 0.14};
    const platform::Color glow = crisis ? platform::Color{0.79, 0.66, 0.42, 0.16} : platform::Color{0.56, 0.6, 0.65, 0.12};
    l.glow = {glow, {0.02, 0.024, 0.031, 0.0}, {0.28, 0.85}, {0.9, 0.05}};

    l.buttons = {
        {{20, 20, kSmallButtonWidth, kButtonHeight}, "Ignore 1h", false, false, actions.ignore1h},
        {{136, 20, kSmallButtonWidth, kButtonHeight}, "Ignore 2h", false, false, actions.ignore2h},
        {{252, 20, kSmallButtonWidth, kButtonHeight}, "Dismiss", false, false, actions.dismiss},
        {{20, 58, kTextWidth, kButtonHeight}, crisis ? "Get support" : "Talk it through", true, true, actions.openChat},
    };
    const platform::Color titleColor = crisis ? platform::Color{1.0, 0.843, 0.6, 1} : platform::Color{0.82, 0.84, 0.87, 1};
    l.labels = {
        {{20, 104, kTextWidth, M}, message, messageFont, {0.86, 0.86, 0.86, 1}},
        {{20, 104 + M + 12, kTextWidth, T}, title, titleFont, titleColor},
    };
    return l;
}

}  // namespace CheckInLayout
