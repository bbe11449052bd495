#include "DesktopHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

namespace desktop {

namespace fs = std::filesystem;

std::string buildDir() { return WS_BUILD_DIR; }
std::string sourceDir() { return WS_SOURCE_DIR; }

std::string sh(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int rc = ::pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string shellQuote(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool waitUntil(const std::function<bool()>& ready, Seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void settle(Seconds duration) { std::this_thread::sleep_for(duration); }

Json Recorded::json() const { return Json::parse(body, nullptr, false); }

namespace {

constexpr std::size_t kHugeBytes = 100u << 20;

// Sends `planned` as the answer; a Slow one first waits on `stopping` (under `lock`).
void answer(const Planned& planned, httplib::Response& res, std::unique_lock<std::mutex>& lock,
            std::condition_variable& stopping, const bool& stopped) {
    const std::string body = planned.body;
    switch (planned.kind) {
        case Planned::Plain:
            lock.unlock();
            res.set_content(body, "application/json");
            return;
        case Planned::ServerError:
            lock.unlock();
            res.status = 500;
            res.set_content(body, "text/html");
            return;
        case Planned::Slow:
            stopping.wait_for(lock, std::chrono::seconds(30), [&] { return stopped; });
            lock.unlock();
            res.set_content(body, "application/json");
            return;
        case Planned::CutShort:
            lock.unlock();
            res.set_content_provider(body.size() + 4096, "application/json",
                                     [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                         if (offset == 0) sink.write(body.data(), body.size());
                                         return false;  // drops the connection
                                     });
            return;
        case Planned::Huge:
            lock.unlock();
            res.set_chunked_content_provider("application/json", [body](std::size_t offset, httplib::DataSink& sink) {
                static const std::string filler(1u << 20, 'x');
                if (offset >= kHugeBytes) {
                    sink.done();
                    return true;
                }
                const std::string& chunk = offset == 0 ? body : filler;
                return sink.write(chunk.data(), chunk.size());
            });
            return;
    }
}

}  // namespace

TestBackend::TestBackend(int port) : server_(std::make_unique<httplib::Server>()) {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        Recorded r{req.method, req.path, req.body, {}, std::chrono::steady_clock::now()};
        for (const auto& [k, v] : req.headers) r.headers[k] = v;
        std::unique_lock lock(mutex_);
        recorded_.push_back(r);
        if (auto plan = plans_.find(req.path); plan != plans_.end() && !plan->second.empty()) {
            const Planned next = plan->second.front();
            plan->second.pop_front();
            answer(next, res, lock, stopping_, stopped_);
            return;
        }
        Json body = Json::object();
        if (auto it = replies_.find(req.path); it != replies_.end()) body = it->second;
        lock.unlock();
        res.set_content(body.dump(), "application/json");
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    // Each kept-alive or slow connection holds a thread: enough of them that none waits for one.
    server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
    if (port == 0)
        port_ = server_->bind_to_any_port("127.0.0.1");
    else
        port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
    if (port_ > 0) {
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        waitUntil([this] { return server_->is_running(); }, Seconds(5));
    }
    reply("/api/gating", Json{{"urgent", false}, {"gentle", false}});
    reply("/api/agent_prefs", Json{{"track_app_usage", false}});
    reply("/api/scan", Json{{"level", 0}});
}

TestBackend::~TestBackend() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

void TestBackend::reply(const std::string& path, Json body) {
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(body);
}

void TestBackend::plan(const std::string& path, std::vector<Planned> answers) {
    std::lock_guard lock(mutex_);
    plans_[path].assign(answers.begin(), answers.end());
}

std::vector<Recorded> TestBackend::requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<Recorded> out;
    for (const auto& r : recorded_)
        if (r.path == path) out.push_back(r);
    return out;
}

bool TestBackend::waitFor(const std::string& path, std::size_t n, Seconds timeout) const {
    return waitUntil([&] { return count(path) >= n; }, timeout);
}

namespace {

constexpr const char* kLogPath = "/tmp/wellspire-agent.log";

std::size_t logSize() {
    std::error_code ec;
    const auto size = fs::file_size(kLogPath, ec);
    return ec ? 0 : static_cast<std::size_t>(size);
}

}  // namespace

Agent::Agent(const std::string& backend, bool alertShown, Agreed agreed) : logOffset_(logSize()) {
    char pattern[] = "/tmp/wellspire-agent-config.XXXXXX";
    configDir_ = ::mkdtemp(pattern);
    fs::create_directories(configDir_ + "/Wellspire");
    fs::create_directories(configDir_ + "/wellspire-agent");
    if (!backend.empty()) std::ofstream(configDir_ + "/Wellspire/backend.txt") << backend << "\n";
    std::ofstream ini(configDir_ + "/wellspire-agent/agent.ini");
    if (alertShown) ini << "[General]\nws.axAlertShown=true\n";
    auto flag = [](bool b) { return b ? "true" : "false"; };
    ini << "[consent]\ntypedText=" << flag(agreed.typedText) << "\nscreenText=" << flag(agreed.screenText) << "\n";
}

void Agent::presetDefault(const std::string& key, const std::string& value) {
    const std::string path = configDir_ + "/wellspire-agent/agent.ini";
    std::stringstream before;
    before << std::ifstream(path).rdbuf();
    std::string ini = before.str();
    const std::string line = key + "=" + value + "\n";
    if (const auto general = ini.find("[General]\n"); general != std::string::npos)
        ini.insert(general + std::strlen("[General]\n"), line);
    else
        ini = "[General]\n" + line + ini;
    std::ofstream(path, std::ios::trunc) << ini;
}

Agent::~Agent() {
    stop();
    std::error_code ec;
    fs::remove_all(configDir_, ec);
}

std::string Agent::environment() const {
    std::string command = "env XDG_CONFIG_HOME=" + shellQuote(configDir_) + " ";
    for (const auto& [name, value] : env_) command += name + "=" + shellQuote(value) + " ";
    return command;
}

bool Agent::start(const std::vector<std::string>& args) {
    return spawn(args) && waitForLog("LAUNCH path=", Seconds(30));
}

bool Agent::spawn(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::setenv("XDG_CONFIG_HOME", configDir_.c_str(), 1);
        for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
        const std::string exe = buildDir() + "/wellspire-agent";
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    return true;
}

std::optional<int> Agent::waitForExit(Seconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    const bool ended = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!ended) return std::nullopt;
    pid_ = -1;
    return status;
}

int Agent::launchAgain(const std::vector<std::string>& args, Seconds timeout) const {
    std::string command = environment() + "timeout " + std::to_string(static_cast<int>(timeout.count())) + " " +
                          shellQuote(buildDir() + "/wellspire-agent");
    for (const auto& a : args) command += " " + shellQuote(a);
    int status = 0;
    sh(command + " >/dev/null 2>&1", &status);
    return status;
}

bool Agent::running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

bool Agent::relaunch(const std::vector<std::string>& args) {
    stop();
    logOffset_ = logSize();
    return start(args);
}

void Agent::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const bool ended = waitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, Seconds(5));
    if (!ended) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::vector<std::string> Agent::log() const {
    std::ifstream in(kLogPath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(logOffset_));
    std::vector<std::string> lines;
    std::string line;
    static const std::regex stamp(R"(^\S+  )");
    while (std::getline(in, line)) lines.push_back(std::regex_replace(line, stamp, ""));
    return lines;
}

bool Agent::waitForLog(const std::string& fragment, Seconds timeout) const {
    return waitUntil(
        [&] {
            for (const auto& line : log())
                if (line.find(fragment) != std::string::npos) return true;
            return false;
        },
        timeout);
}

std::vector<std::string> windowsNamed(const std::string& pattern) {
    std::istringstream out(sh("xdotool search --onlyvisible --name " + shellQuote(pattern) + " 2>/dev/null"));
    std::vector<std::string> ids;
    std::string id;
    while (out >> id) ids.push_back(id);
    return ids;
}

std::optional<std::string> waitForWindow(const std::string& pattern, Seconds timeout) {
    std::optional<std::string> found;
    waitUntil(
        [&] {
            auto ids = windowsNamed(pattern);
            if (!ids.empty()) found = ids.front();
            return found.has_value();
        },
        timeout);
    return found;
}

std::optional<WindowGeometry> trayIcon(Seconds timeout) {
    std::optional<WindowGeometry> found;
    waitUntil(
        [&] {
            // Mapped only: the icon's window exists a moment before the tray host embeds and
            // shows it, at the screen's corner, where a click reaches the desktop instead.
            std::istringstream ids(sh("xdotool search --onlyvisible --class wellspire-agent 2>/dev/null"));
            std::string id;
            while (ids >> id)
                if (auto g = geometry(id); g && g->width > 0 && g->width <= 64 && g->height <= 64 && g->y < 64) found = g;
            return found.has_value();
        },
        timeout);
    return found;
}

void ensureTrayHost() {
    if (!sh("pgrep -x trayer").empty()) return;
    sh("(setsid trayer --edge top --align right --widthtype request --height 28 --SetDockType true "
       "--expand false >/dev/null 2>&1 &)");
    settle(Seconds(1));
}

bool openStatusMenu() {
    const auto shown = [] {
        // A window of the agent's other than the icon itself.
        std::istringstream ids(sh("xdotool search --onlyvisible --class wellspire-agent 2>/dev/null"));
        std::string id;
        while (ids >> id)
            if (auto g = geometry(id); g && (g->width > 64 || g->height > 64)) return true;
        return false;
    };
    // Clicked again once: a click while the tray host still lays the icon out can miss it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto icon = trayIcon();
        if (!icon) return false;
        sh("xdotool mousemove " + std::to_string(icon->x + icon->width / 2) + " " +
           std::to_string(icon->y + icon->height / 2) + " click 1");
        if (waitUntil(shown, Seconds(3))) return true;
    }
    return false;
}

std::optional<WindowGeometry> geometry(const std::string& window) {
    const std::string out = sh("xwininfo -id " + window + " 2>/dev/null");
    WindowGeometry g;
    auto field = [&](const char* name, int& value) {
        const auto at = out.find(name);
        if (at == std::string::npos) return false;
        value = std::atoi(out.c_str() + at + std::strlen(name));
        return true;
    };
    if (!field("Absolute upper-left X:", g.x) || !field("Absolute upper-left Y:", g.y) || !field("Width:", g.width) ||
        !field("Height:", g.height))
        return std::nullopt;
    return g;
}

bool screenshot(const std::string& path) {
    int status = 0;
    sh("import -window root " + shellQuote(path) + " 2>/dev/null", &status);
    return status == 0 && fs::exists(path);
}

std::optional<std::array<int, 3>> pixel(const std::string& image, int x, int y) {
    const std::string out = sh("convert " + shellQuote(image) + " -crop 1x1+" + std::to_string(x) + "+" +
                               std::to_string(y) + " -depth 8 -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]' info:");
    std::array<int, 3> rgb{};
    std::istringstream in(out);
    if (!(in >> rgb[0] >> rgb[1] >> rgb[2])) return std::nullopt;
    return rgb;
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

std::string accessibleApplications() {
    return sh("/usr/bin/python3 -c \"import gi; gi.require_version('Atspi', '2.0'); from gi.repository import Atspi; "
              "d = Atspi.get_desktop(0); "
              "print(', '.join(f'{a.get_name()} {a.get_process_id()}' for a in "
              "(d.get_child_at_index(i) for i in range(d.get_child_count())) if a))\" 2>&1");
}

std::optional<AtspiRegistrations> atspiRegistrationsOf(int pid) {
    const std::string out =
        sh("/usr/bin/python3 " + sourceDir() + "/tests/desktop/atspi_registrations.py " + std::to_string(pid) + " 2>&1");
    try {
        const auto json = Json::parse(out);
        return AtspiRegistrations{json["events"].get<std::vector<std::string>>(), json["keystrokeListeners"].get<int>()};
    } catch (const std::exception&) {
        std::fprintf(stderr, "the accessibility registry could not be asked: %s\n", out.c_str());
        return std::nullopt;
    }
}

long readCalls(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long value = 0;
    while (in >> key >> value)
        if (key == "syscr:") return value;
    return -1;
}

}  // namespace desktop
