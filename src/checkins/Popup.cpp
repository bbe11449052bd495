#include "checkins/Popup.h"

#include <algorithm>

#include "backend/Config.h"
#include "backend/Log.h"
#include "backend/Url.h"
#include "checkins/PanelLayout.h"
#include "checkins/Snooze.h"
#include "platform/Platform.h"

Popup& Popup::shared() {
    static Popup* instance = new Popup();  // lives for the whole run
    return *instance;
}

void Popup::show(const std::string& title, const std::string& message, bool crisis) {
    platform::mainLoop().post([title, message, crisis] { shared().present(title, message, crisis); });
}

void Popup::dropInvisible() {
    std::erase_if(panels, [](const auto& p) { return !p->isVisible(); });
}

double Popup::nextY(const platform::Rect& screen, double height) const {
    double y = screen.top() - height - edgeMargin;
    for (const auto& p : panels) y -= p->frame().height + stackGap;
    return y;
}

void Popup::present(const std::string& title, const std::string& message, bool crisis) {
    auto& windowing = *platform::get().windowing;
    const std::size_t before = panels.size();
    dropInvisible();
    bool removed = panels.size() != before;

    const std::string identifier = title + message;
    for (const auto& p : panels)
        if (p->identifier() == identifier) return;

    while (panels.size() >= maxStack) {
        panels.front()->close();
        panels.erase(panels.begin());
        removed = true;
    }

    CheckInLayout::Actions actions;
    actions.openChat = [](const std::shared_ptr<platform::Panel>& s) { shared().openChat(s); };
    actions.dismiss = [](const std::shared_ptr<platform::Panel>& s) { shared().close(s); };
    actions.ignore1h = [](const std::shared_ptr<platform::Panel>&) { shared().ignore1h(); };
    actions.ignore2h = [](const std::shared_ptr<platform::Panel>&) { shared().ignore2h(); };
    const platform::PanelLayout layout = CheckInLayout::build(windowing, title, message, crisis, actions);
    auto panel = windowing.createPanel(layout);
    if (!panel) return;

    if (auto screen = windowing.mainScreenVisibleFrame()) {
        if (removed) restack();
        double y = nextY(*screen, layout.height);
        // Make room once by dropping the oldest; if it still does not fit, it goes where it falls.
        if (y < screen->bottom() + edgeMargin && !panels.empty()) {
            panels.front()->close();
            panels.erase(panels.begin());
            restack();
            y = nextY(*screen, layout.height);
        }
        panel->setFrameOrigin({screen->right() - layout.width - edgeMargin, y});
    }
    panel->orderFrontRegardless();
    panels.push_back(panel);
    windowing.playSound("Glass");
    wsLog(std::string("POPUP shown crisis=") + (crisis ? "true" : "false") + " stack=" + std::to_string(panels.size()));
}

void Popup::restack() {
    auto screen = platform::get().windowing->mainScreenVisibleFrame();
    if (!screen) return;
    double top = screen->top() - edgeMargin;
    for (const auto& p : panels) {
        const platform::Rect f = p->frame();
        p->setFrameOrigin({screen->right() - f.width - edgeMargin, top - f.height});
        top -= f.height + stackGap;
    }
}

void Popup::close(const std::shared_ptr<platform::Panel>& sender) {
    if (sender) {
        std::erase_if(panels, [&](const auto& p) { return p == sender; });
        sender->close();
    } else {
        closeAll();
    }
    dropInvisible();
    restack();
}

void Popup::openChat(const std::shared_ptr<platform::Panel>& sender) {
    const std::string url = Config::hostedBackend() + "/chat";
    if (Url::parse(url)) platform::get().windowing->openURL(url);
    close(sender);
}

void Popup::ignore1h() {
    Snooze::set(1);
    closeAll();
}

void Popup::ignore2h() {
    Snooze::set(2);
    closeAll();
}

void Popup::closeAll() {
    auto closing = std::move(panels);
    panels.clear();
    for (const auto& p : closing) p->close();
}
