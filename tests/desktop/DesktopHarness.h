#pragma once
// Drives the real agent on the private X display of scripts/desktop-session: a loopback backend
// that records what the agent sends, the agent process itself, and the X tools that look at it.
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
}

namespace desktop {

using Json = nlohmann::json;
using Seconds = std::chrono::duration<double>;

// Runs a shell command; its standard output, and its exit status in `status` when given.
std::string sh(const std::string& command, int* status = nullptr);
std::string shellQuote(const std::string& text);
// A loopback TCP port free at the time of the call.
int freePort();
// Polls `ready` every 50 ms until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& ready, Seconds timeout);
// A deliberate wait: lets the agent run on while nothing is expected to happen.
void settle(Seconds duration);

// The first of the windows `list()` gives whose title matches the (ECMAScript) pattern, and the
// first of them with the focus; a compositor's window kind (with `title` and `focused`) each.
template <class Window, class List>
std::optional<Window> waitForTitled(List list, const std::string& titlePattern, Seconds timeout) {
    const std::regex pattern(titlePattern);
    std::optional<Window> found;
    waitUntil(
        [&] {
            for (const auto& w : list())
                if (std::regex_search(w.title, pattern)) {
                    found = w;
                    return true;
                }
            return false;
        },
        timeout);
    return found;
}
template <class Window, class List>
std::optional<Window> focusedOf(List list) {
    for (const auto& w : list())
        if (w.focused) return w;
    return std::nullopt;
}

struct Recorded {
    std::string method;
    std::string path;
    std::string body;
    std::map<std::string, std::string> headers;
    std::chrono::steady_clock::time_point at;
    Json json() const;
};

// One answer of the test backend, good or broken.
struct Planned {
    enum Kind {
        Plain,        // status 200 with the body as it is
        ServerError,  // status 500 with the body
        CutShort,     // announces more than the body, sends the body, then closes the connection
        Huge,         // the body and then 100 MB more, chunked
        Slow,         // the body after 30 s (at once when the backend stops)
    };
    Kind kind = Plain;
    std::string body;
};

// A loopback backend on an ephemeral port, or on `port` when one is given.
class TestBackend {
public:
    explicit TestBackend(int port = 0);
    ~TestBackend();
    // -1 when the port could not be bound.
    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The reply to a path (default: an empty object).
    void reply(const std::string& path, Json body);
    // The answers to the next requests to a path, in order; the reply of `reply` afterwards.
    void plan(const std::string& path, std::vector<Planned> answers);
    std::vector<Recorded> requests(const std::string& path) const;
    std::size_t count(const std::string& path) const { return requests(path).size(); }
    bool waitFor(const std::string& path, std::size_t n, Seconds timeout) const;

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Recorded> recorded_;
    std::map<std::string, Json> replies_;
    std::map<std::string, std::deque<Planned>> plans_;
    std::condition_variable stopping_;
    bool stopped_ = false;
};

// What the user agreed to in the privacy window before the agent starts.
struct Agreed {
    bool typedText = true;
    bool screenText = true;
};

// One run of build/wellspire-agent with its own config folder.
class Agent {
public:
    // `backend`: written to the override file when not empty. `alertShown`: the one-time
    // Accessibility explanation counts as already shown.
    explicit Agent(const std::string& backend, bool alertShown = true, Agreed agreed = {});
    ~Agent();
    bool start(const std::vector<std::string>& args = {});
    // Starts the process without waiting for its launch line.
    bool spawn(const std::vector<std::string>& args = {});
    // A user default (agent.ini, group General) the agent finds already set; before starting.
    void presetDefault(const std::string& key, const std::string& value);
    // Extra environment for the agent and for launchAgain; set before starting.
    void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    // Waits for the process to end: its wait status (as waitpid gives it), or nothing in time.
    std::optional<int> waitForExit(Seconds timeout);
    // Runs a second `wellspire-agent args...` to completion; its exit status.
    int launchAgain(const std::vector<std::string>& args, Seconds timeout = Seconds(10)) const;
    void stop();
    // Stops the agent and starts it again with the same settings, as a user relaunching it; the log
    // then counts from the new start.
    bool relaunch(const std::vector<std::string>& args = {});
    bool running() const;
    int pid() const { return pid_; }
    const std::string& configDir() const { return configDir_; }

    // Log lines written since this object was made, timestamps stripped.
    std::vector<std::string> log() const;
    bool waitForLog(const std::string& fragment, Seconds timeout) const;

private:
    std::string environment() const;
    std::string configDir_;
    std::map<std::string, std::string> env_;
    std::size_t logOffset_ = 0;
    int pid_ = -1;
};

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;
};

// X windows whose title matches the (POSIX extended) pattern, oldest first.
std::vector<std::string> windowsNamed(const std::string& pattern);
std::optional<std::string> waitForWindow(const std::string& pattern, Seconds timeout);
std::optional<WindowGeometry> geometry(const std::string& window);
// The agent's icon in the status area (its small embedded window), waiting for it up to `timeout`.
std::optional<WindowGeometry> trayIcon(Seconds timeout = Seconds(10));
// Starts a status-area host (trayer) unless one runs.
void ensureTrayHost();
// Clicks the agent's status icon, which opens its menu; false when there is no icon.
bool openStatusMenu();
// The screen as an image file (PNG); false on failure.
bool screenshot(const std::string& path);
// The RGB of one pixel of an image file.
std::optional<std::array<int, 3>> pixel(const std::string& image, int x, int y);

std::string buildDir();
std::string sourceDir();

// The applications on the accessibility bus ("name pid" each), for the message of a failed case.
std::string accessibleApplications();

// What the accessibility registry itself holds for a process: the event types and the keystroke
// listeners it registered. Nothing when the registry cannot be asked.
struct AtspiRegistrations {
    std::vector<std::string> events;
    int keystrokeListeners = 0;
};
std::optional<AtspiRegistrations> atspiRegistrationsOf(int pid);

// Read calls the process has made so far (/proc/<pid>/io), -1 when unknown.
long readCalls(int pid);

}  // namespace desktop
