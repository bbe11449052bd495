#include "Sway.h"

#include <filesystem>
#include <functional>
#include <regex>

namespace desktop {

namespace {

void collect(const Json& node, std::vector<SwayWindow>& out) {
    if (node.contains("pid") && node["pid"].is_number()) {
        SwayWindow w;
        w.id = node.value("id", 0L);
        w.pid = node["pid"].get<int>();
        if (node.contains("app_id") && node["app_id"].is_string()) w.appId = node["app_id"].get<std::string>();
        if (node.contains("shell") && node["shell"].is_string()) w.shell = node["shell"].get<std::string>();
        if (node.contains("name") && node["name"].is_string()) w.title = node["name"].get<std::string>();
        const auto& r = node["rect"];
        w.rect = {r.value("x", 0), r.value("y", 0), r.value("width", 0), r.value("height", 0)};
        w.focused = node.value("focused", false);
        out.push_back(w);
    }
    for (const char* children : {"nodes", "floating_nodes"})
        if (node.contains(children))
            for (const auto& child : node[children]) collect(child, out);
}

}  // namespace

std::vector<SwayWindow> swayWindows() {
    std::vector<SwayWindow> out;
    const Json tree = Json::parse(sh("swaymsg -r -t get_tree 2>/dev/null"), nullptr, false);
    if (tree.is_object()) collect(tree, out);
    return out;
}

std::optional<SwayWindow> waitForSwayWindow(const std::string& titlePattern, Seconds timeout) {
    return waitForTitled<SwayWindow>(swayWindows, titlePattern, timeout);
}

std::optional<SwayWindow> focusedSwayWindow() { return focusedOf<SwayWindow>(swayWindows); }

bool swayFocus(const SwayWindow& window) {
    sh("swaymsg '[con_id=" + std::to_string(window.id) + "] focus' >/dev/null 2>&1");
    return waitUntil(
        [&] {
            const auto focused = focusedSwayWindow();
            return focused && focused->id == window.id;
        },
        Seconds(5));
}

namespace {

// Each wtype is a new keyboard of the seat, which the focused client takes in first (its keymap,
// a keyboard leave and enter): keys sent at once are lost now and then.
constexpr const char* kKeyboardSettles = " -s 300 ";

std::string keyArguments(const std::vector<std::string>& keys) {
    std::string arguments;
    for (const auto& key : keys) arguments += "-k " + shellQuote(key) + " -s 25 ";
    return arguments;
}

}  // namespace

void wtype(const std::string& text, int delayMs, const std::vector<std::string>& keysFirst) {
    sh(std::string("wtype") + kKeyboardSettles + keyArguments(keysFirst) + "-d " + std::to_string(delayMs) + " " +
       shellQuote(text) + kKeyboardSettles + " 2>/dev/null");
}

void wtypeKeys(const std::vector<std::string>& keys) {
    sh(std::string("wtype") + kKeyboardSettles + keyArguments(keys) + kKeyboardSettles + " 2>/dev/null");
}

void wtypeChord(const std::string& modifier, const std::string& key) {
    // The modifier's own key too, not only its state: X clients of Xwayland take mnemonics from it.
    const std::string modifierKey = modifier == "alt" ? "Alt_L" : modifier == "ctrl" ? "Control_L"
                                    : modifier == "logo" ? "Super_L" : "Shift_L";
    sh(std::string("wtype") + kKeyboardSettles + "-P " + modifierKey + " -M " + shellQuote(modifier) + " -s 50 -k " +
       shellQuote(key) + " -s 50 -m " + shellQuote(modifier) + " -p " + modifierKey + kKeyboardSettles + " 2>/dev/null");
}

bool grimScreenshot(const std::string& path) {
    int status = 0;
    sh("grim " + shellQuote(path) + " 2>/dev/null", &status);
    return status == 0 && std::filesystem::exists(path);
}

}  // namespace desktop
