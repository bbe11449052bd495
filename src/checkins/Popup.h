#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/Windowing.h"

// The stack of check-in panels in the top-right corner: the one place the agent speaks.
class Popup {
public:
    static Popup& shared();

    // Any thread. Always queued to the main thread, handled in call order.
    void show(const std::string& title, const std::string& message, bool crisis);

    // Button actions, on the main thread. `sender` is the panel the button lies in, or nothing.
    void close(const std::shared_ptr<platform::Panel>& sender);
    void openChat(const std::shared_ptr<platform::Panel>& sender);
    void ignore1h();
    void ignore2h();
    void closeAll();

    static constexpr std::size_t maxStack = 5;
    static constexpr double stackGap = 10;
    static constexpr double edgeMargin = 22;

    // Forgets every panel (tests start each case with a fresh platform).
    void resetForTesting() { panels.clear(); }
    std::size_t count() const { return panels.size(); }

private:
    Popup() = default;
    void present(const std::string& title, const std::string& message, bool crisis);
    void dropInvisible();
    void restack();
    double nextY(const platform::Rect& screen, double height) const;

    std::vector<std::shared_ptr<platform::Panel>> panels;  // oldest first
};
