#include "desktop/Gnome.h"

#include <regex>

namespace desktop {

namespace {

// One method of the driver, its reply as dbus-send prints it.
std::string call(const std::string& method, const std::string& args = "", int* status = nullptr) {
    return sh("dbus-send --session --print-reply --reply-timeout=120000 --dest=com.wellspire.TestShell "
              "/com/wellspire/TestShell com.wellspire.TestShell." +
                  method + " " + args + " 2>&1",
              status);
}

// The value of a reply's one string: dbus-send prints it unescaped between the first and last quote.
std::string replyString(const std::string& reply) {
    const auto first = reply.find('"'), last = reply.rfind('"');
    return first == std::string::npos || last <= first ? std::string() : reply.substr(first + 1, last - first - 1);
}

int replyNumber(const std::string& reply) {
    std::smatch m;
    return std::regex_search(reply, m, std::regex(R"(uint32 (\d+))")) ? std::stoi(m[1]) : -1;
}

}  // namespace

std::vector<ShellWindow> shellWindows() {
    const Json all = Json::parse(replyString(call("Windows")), nullptr, false);
    std::vector<ShellWindow> out;
    if (!all.is_array()) return out;
    for (const auto& w : all) {
        ShellWindow s;
        s.id = w.value("id", 0ull);
        s.pid = w.value("pid", 0);
        s.title = w.value("title", "");
        s.wmClass = w.value("wmClass", "");
        s.wayland = w.value("wayland", false);
        s.type = w.value("type", 0);
        s.rect = {w.value("x", 0), w.value("y", 0), w.value("width", 0), w.value("height", 0)};
        s.focused = w.value("focused", false);
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<ShellWindow> waitForShellWindow(const std::string& titlePattern, Seconds timeout) {
    return waitForTitled<ShellWindow>(shellWindows, titlePattern, timeout);
}

std::optional<ShellWindow> focusedShellWindow() { return focusedOf<ShellWindow>(shellWindows); }

bool shellFocus(const ShellWindow& window) {
    call("Activate", "uint64:" + std::to_string(window.id));
    return waitUntil(
        [&] {
            const auto f = focusedShellWindow();
            return f && f->id == window.id;
        },
        Seconds(5));
}

void shellMove(const ShellWindow& window, int x, int y) {
    call("Move", "uint64:" + std::to_string(window.id) + " int32:" + std::to_string(x) + " int32:" + std::to_string(y));
}

void shellType(const std::string& text, int delayMs) {
    call("Type", "string:" + shellQuote(text) + " uint32:" + std::to_string(delayMs));
}

void shellKeys(const std::vector<std::string>& keys) {
    std::string list;
    for (const auto& k : keys) list += (list.empty() ? "" : ",") + k;
    call("Keys", "array:string:" + list);
}

void shellChord(const std::string& modifier, const std::string& key) {
    call("Chord", "string:" + modifier + " string:" + key);
}

bool shellScreenshot(const std::string& path) { return call("Screenshot", "string:" + shellQuote(path)).find("true") != std::string::npos; }

int shellStopSharing() { return replyNumber(call("StopSharing")); }

int shellScreenCasts() { return replyNumber(call("Sharing")); }

std::vector<std::string> shellNotifications() {
    const Json all = Json::parse(replyString(call("Notifications")), nullptr, false);
    std::vector<std::string> out;
    if (all.is_array())
        for (const auto& n : all) out.push_back(n.value("title", "") + ": " + n.value("body", ""));
    return out;
}

bool answerShareDialog(bool share, Seconds timeout) {
    int status = 0;
    sh("/usr/bin/python3 " + shellQuote(sourceDir() + "/tests/desktop/gnome/answer_share_dialog.py") +
           (share ? "" : " --cancel") + " --timeout " + std::to_string(timeout.count()) + " 2>/dev/null",
       &status);
    return status == 0;
}

bool shareDialogShown() {
    for (const auto& w : shellWindows())
        if (w.title == "Screen Share") return true;
    return false;
}

}  // namespace desktop
