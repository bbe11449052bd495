#pragma once
// The simulated platform: a virtual clock, a main loop whose timers fire in time order,
// an HTTP client whose requests the test answers on a simulated serial callback queue,
// and recording fakes of every desktop facility. Everything runs on the test's thread;
// the sim only tracks which queue a task is "on".
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/ApplicationChange.h"
#include "platform/Platform.h"

namespace sim {

enum class Queue { Main, Callback, Worker };

class SimPlatform;

struct RecordedRequest {
    platform::HttpRequest request;
    platform::TimePoint sentAt;
    bool completed = false;
    nlohmann::json bodyJson() const;  // the POST body parsed (null when not JSON)
};

// A scripted answer: delivered `delaySeconds` after the request was sent.
struct SimReply {
    platform::HttpResponse response;
    double delaySeconds = 0.0;
};

SimReply jsonReply(const nlohmann::json& body, long status = 200, double delaySeconds = 0.0);

class SimHttp final : public platform::Http {
public:
    explicit SimHttp(SimPlatform& sim) : sim_(sim) {}
    void send(platform::HttpRequest request, platform::HttpCompletion completion) override;
    bool isCallbackQueue() const override;

    // Answers every new request when the responder returns a reply; others stay pending.
    void setResponder(std::function<std::optional<SimReply>(const platform::HttpRequest&)> responder) {
        responder_ = std::move(responder);
    }
    // false: requests never time out on their own, and each reply comes at its delay however late
    // (a client that calls back after its caller stopped waiting, or never).
    bool honourTimeouts = true;
    const std::deque<RecordedRequest>& requests() const { return requests_; }
    std::vector<std::size_t> pending() const;  // indices of requests not yet completed
    std::size_t count(const std::string& urlSuffix) const;
    // Queues the completion of request `index` on the callback queue. No-op when it already completed.
    void answer(std::size_t index, platform::HttpResponse response);
    void answerJson(std::size_t index, const nlohmann::json& body, long status = 200);
    void fail(std::size_t index);  // transport error
    // The last request whose URL ends with the suffix.
    std::optional<std::size_t> last(const std::string& urlSuffix) const;
    void clear() { requests_.clear(); completions_.clear(); }

private:
    friend class SimPlatform;
    SimPlatform& sim_;
    std::function<std::optional<SimReply>(const platform::HttpRequest&)> responder_;
    std::deque<RecordedRequest> requests_;
    std::deque<platform::HttpCompletion> completions_;
};

class SimPanel final : public platform::Panel {
public:
    SimPanel(SimPlatform& sim, platform::PanelLayout layout) : sim_(sim), layout_(std::move(layout)) {}
    bool isVisible() const override { return visible_; }
    platform::Rect frame() const override { return {origin_.x, origin_.y, layout_.width, layout_.height}; }
    void setFrameOrigin(platform::Point origin) override { origin_ = origin; }
    void orderFrontRegardless() override;
    void close() override { visible_ = false; closed_ = true; }
    std::string identifier() const override { return layout_.identifier; }

    const platform::PanelLayout& layout() const { return layout_; }
    bool closed() const { return closed_; }
    // Simulates the user hiding the window by other means.
    void hide() { visible_ = false; }
    // Presses the button with this title, as the windowing layer would.
    void press(const std::string& title);

private:
    SimPlatform& sim_;
    platform::PanelLayout layout_;
    platform::Point origin_{0, 0};
    bool visible_ = false;
    bool closed_ = false;
    std::weak_ptr<SimPanel> self_;
    friend class SimWindowing;
};

class SimMenuItem final : public platform::MenuItem {
public:
    explicit SimMenuItem(platform::MenuEntry entry) : entry_(std::move(entry)) {}
    void setTitle(const std::string& title) override { entry_.title = title; }
    std::string title() const override { return entry_.title; }
    const platform::MenuEntry& entry() const { return entry_; }
    void click() const { if (entry_.action) entry_.action(); }

private:
    platform::MenuEntry entry_;
};

class SimStatusImage final : public platform::StatusImage {
public:
    explicit SimStatusImage(std::string source) : source(std::move(source)) {}
    void setSize(double w, double h) override { width = w; height = h; }
    void setTemplate(bool t) override { isTemplate = t; }
    std::string source;
    double width = 0, height = 0;
    bool isTemplate = true;
};

class SimStatusItem final : public platform::StatusItem {
public:
    explicit SimStatusItem(SimPlatform& sim, bool hasButton) : sim_(sim), hasButton_(hasButton) {}
    bool hasButton() const override { return hasButton_; }
    void setImage(std::shared_ptr<platform::StatusImage> image) override { image_ = std::move(image); }
    void setImageLeftOfTitle() override { imageLeft_ = true; }
    void setTitle(const std::string& title) override { title_ = title; }
    std::vector<std::shared_ptr<platform::MenuItem>> setMenu(const std::vector<platform::MenuEntry>& entries) override;

    const std::string& title() const { return title_; }
    std::shared_ptr<platform::StatusImage> image() const { return image_; }
    bool imageLeftOfTitle() const { return imageLeft_; }
    const std::vector<std::shared_ptr<SimMenuItem>>& menu() const { return menu_; }
    std::shared_ptr<SimMenuItem> item(const std::string& title) const;  // first non-separator with the title

private:
    SimPlatform& sim_;
    bool hasButton_;
    std::string title_;
    std::shared_ptr<platform::StatusImage> image_;
    bool imageLeft_ = false;
    std::vector<std::shared_ptr<SimMenuItem>> menu_;  // separators are entries too
};

class SimWindowing final : public platform::Windowing {
public:
    explicit SimWindowing(SimPlatform& sim) : sim_(sim) {}
    void setAccessoryActivationPolicy() override;
    std::shared_ptr<platform::StatusItem> createStatusItem() override;
    std::shared_ptr<platform::StatusImage> loadImage(const std::string& path) override;
    std::shared_ptr<platform::StatusImage> namedImage(const std::string& name) override;
    int runModal(const platform::Alert& alert) override;
    std::shared_ptr<platform::Panel> createPanel(const platform::PanelLayout& layout) override;
    std::optional<platform::Rect> mainScreenVisibleFrame() override { return screen; }
    double textHeight(const std::string& text, platform::Font font, double width) override;
    void playSound(const std::string& name) override;
    bool openURL(const std::string& url) override;
    std::string placeName(platform::Place place) override;
    void terminate() override;

    // Test controls and records.
    std::optional<platform::Rect> screen = platform::Rect{0, 0, 1440, 875};
    bool statusItemHasButton = true;
    std::set<std::string> loadableImages;  // paths loadImage succeeds for
    std::set<std::string> namedImages;
    std::deque<int> alertAnswers;          // button index chosen per alert; default first
    bool openURLSucceeds = true;
    std::function<double(const std::string&, platform::Font, double)> textMeasure;

    std::vector<platform::Alert> alerts;
    std::vector<std::string> openedURLs;
    std::vector<std::string> sounds;
    std::vector<std::shared_ptr<SimPanel>> panels;  // every panel created, in order
    std::shared_ptr<SimStatusItem> statusItem;
    bool terminated = false;

    std::vector<std::shared_ptr<SimPanel>> visiblePanels() const;
    std::shared_ptr<SimPanel> panelTitled(const std::string& identifierPrefix) const;

private:
    SimPlatform& sim_;
};

class SimElement final : public platform::AXElement {
public:
    std::optional<platform::AXValue> attribute(const std::string& name) override {
        auto it = attributes.find(name);
        if (it == attributes.end()) return std::nullopt;
        return it->second;
    }
    std::map<std::string, std::optional<platform::AXValue>> attributes;
};

class SimAccessibility final : public platform::Accessibility {
public:
    explicit SimAccessibility(SimPlatform& sim) : sim_(sim) {}
    bool isProcessTrusted() override;
    bool isProcessTrustedWithPrompt() override;
    std::shared_ptr<platform::AXElement> focusedElement() override;

    bool trusted = false;
    std::shared_ptr<SimElement> focused;  // nothing: no focused element
    int reads = 0;                        // focusedElement() calls
    // Sets a focused element whose AXValue is this string.
    void setFocusedText(const std::string& text);

private:
    SimPlatform& sim_;
};

struct CaptureCall {
    bool window = false;
    std::uint64_t targetId = 0;
    std::vector<std::uint64_t> excluded;
    int width = 0, height = 0;
};

class SimScreenCapture final : public platform::ScreenCapture {
public:
    explicit SimScreenCapture(SimPlatform& sim) : sim_(sim) {}
    bool preflight() override { return permitted; }
    void request() override;
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int w, int h,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int w, int h, std::function<void(platform::CaptureResult)> completion) override;

    bool permitted = false;
    platform::ContentResult content = platform::ShareableContent{{}, {{1, 1440, 900}}};
    std::optional<std::string> captureError;  // set: every capture fails with this description
    bool deferCaptures = false;               // true: completions wait for completeDeferred()
    std::vector<CaptureCall> calls;
    int contentRequests = 0;
    void completeDeferred();

private:
    void finish(const CaptureCall& call, std::function<void(platform::CaptureResult)> completion);
    SimPlatform& sim_;
    std::vector<std::function<void()>> deferred_;
};

class SimTextRecognizer final : public platform::TextRecognizer {
public:
    std::optional<std::vector<std::optional<std::string>>> recognize(const platform::Image& image) override {
        ++calls;
        lastSize = {image.width, image.height};
        return lines;
    }
    std::optional<std::vector<std::optional<std::string>>> lines = std::vector<std::optional<std::string>>{};
    int calls = 0;
    std::pair<int, int> lastSize{0, 0};
};

class SimRegistration final : public platform::Registration {};

class SimWorkspace final : public platform::Workspace {
public:
    explicit SimWorkspace(SimPlatform& sim) : sim_(sim) {}
    std::optional<platform::RunningApplication> frontmostApplication() override { return frontmost; }
    std::shared_ptr<platform::Registration> addActivationObserver(
        std::function<void(const std::optional<platform::RunningApplication>&)> handler) override;
    void removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) override;
    std::shared_ptr<platform::Registration> addGlobalKeyDownMonitor(std::function<void(int)> handler) override;
    int ownPid() const override { return 4242; }
    std::string bundlePath() const override { return bundle; }

    std::optional<platform::RunningApplication> frontmost;
    std::string bundle = "/opt/wellspire-agent";
    // Makes `app` frontmost and notifies every observer (the notification carries `app`).
    void activate(const std::optional<platform::RunningApplication>& app);
    // A window of `app` becomes the active one: an activation only when that changes the
    // application, as the real workspaces decide it.
    void focusWindow(const platform::RunningApplication& app);
    void keyDown(int keyCode);
    std::size_t activationObservers() const { return observers_.size(); }
    std::size_t keyMonitors() const { return keyMonitors_.size(); }

private:
    SimPlatform& sim_;
    platform::ApplicationChange change_;
    std::vector<std::pair<std::shared_ptr<platform::Registration>,
                          std::function<void(const std::optional<platform::RunningApplication>&)>>> observers_;
    std::vector<std::pair<std::shared_ptr<platform::Registration>, std::function<void(int)>>> keyMonitors_;
};

class SimUrlEvents final : public platform::UrlEvents {
public:
    explicit SimUrlEvents(SimPlatform& sim) : sim_(sim) {}
    void setGetURLHandler(std::function<void(const std::optional<std::string>&)> handler) override;
    void open(const std::optional<std::string>& url);  // delivers on the main queue
    bool registered() const { return static_cast<bool>(handler_); }

private:
    SimPlatform& sim_;
    std::function<void(const std::optional<std::string>&)> handler_;
};

class SimUserDefaults final : public platform::UserDefaults {
public:
    bool boolForKey(const std::string& key) override;
    void setBool(const std::string& key, bool value) override { values[key] = value; }
    std::map<std::string, bool> values;
    std::vector<std::string> reads;
};

class SimSecretStore final : public platform::SecretStore {
public:
    explicit SimSecretStore(SimPlatform& sim) : sim_(sim) {}
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    std::optional<std::string> readWithin(const std::string& service, const std::string& account,
                                          double seconds) override;
    void add(const std::string& service, const std::string& account, const std::string& bytes) override;
    void remove(const std::string& service, const std::string& account) override;
    std::map<std::pair<std::string, std::string>, std::string> items;
    bool available = true;  // false: every call fails
    int readCount = 0;
    double readSeconds = 0;  // how long each read blocks its caller (a keyring that starts slowly)

private:
    SimPlatform& sim_;
};

class SimLoopbackListeners final : public platform::LoopbackListeners {
public:
    bool ownedBySelf(int port) override { return !othersPorts.count(port); }
    std::set<int> othersPorts;  // ports another user listens on
};

class SimFiles final : public platform::Files {
public:
    std::string applicationSupportDirectory() const override { return "/home/user/.config"; }
    std::optional<std::string> readFile(const std::string& path) override;
    bool appendLog(const std::string& path, const std::string& bytes) override;
    std::optional<std::string> resourcePath(const std::string& name, const std::string& type) const override;

    std::map<std::string, std::string> files;
    std::set<std::string> unwritable;  // appendLog drops the line for these
    std::set<std::string> resources;   // "name.type" available in the bundle
    std::string resourceDir = "/opt/wellspire-agent/resources";
};

class SimMainLoop final : public platform::MainLoop {
public:
    explicit SimMainLoop(SimPlatform& sim) : sim_(sim) {}
    void post(std::function<void()> task) override;
    std::shared_ptr<platform::Timer> scheduleRepeating(double seconds, std::function<void()> task) override;
    bool isMainThread() const override;

private:
    SimPlatform& sim_;
};

class SimClock final : public platform::Clock {
public:
    explicit SimClock(SimPlatform& sim) : sim_(sim) {}
    platform::TimePoint now() const override;
    int localHour(platform::TimePoint t) const override;
    int utcOffsetSeconds = 0;  // the user's fixed time zone

private:
    SimPlatform& sim_;
};

class SimWorker final : public platform::Worker {
public:
    explicit SimWorker(SimPlatform& sim) : sim_(sim) {}
    void run(std::function<void()> task) override;
    std::size_t queued() const;

private:
    SimPlatform& sim_;
};

class SimSemaphores final : public platform::SemaphoreFactory {
public:
    explicit SimSemaphores(SimPlatform& sim) : sim_(sim) {}
    std::shared_ptr<platform::Semaphore> make() override;

private:
    SimPlatform& sim_;
};

class SimPlatform {
public:
    // Starts the virtual clock at `start` and installs the sim as the platform.
    explicit SimPlatform(platform::TimePoint start = defaultStart());
    ~SimPlatform();
    SimPlatform(const SimPlatform&) = delete;
    SimPlatform& operator=(const SimPlatform&) = delete;

    static platform::TimePoint defaultStart();  // 2026-12-07T12:00:00Z
    static platform::TimePoint at(int year, int month, int day, int hour, int minute, int second);

    platform::TimePoint now() const { return now_; }
    double elapsed() const { return platform::secondsBetween(start_, now_); }
    // Runs the agent for `seconds` of virtual time: due timers fire in time order, posted
    // main-thread tasks and callback-queue completions run between them in call order.
    void advance(double seconds);
    // Runs everything that is ready now without moving the clock.
    void runReady();
    // Sets the wall clock directly (the user changing the clock). Timers keep their due times.
    void setWallClock(platform::TimePoint t) { now_ = t; }

    bool autoRunWorkers = true;  // false: worker tasks wait for runWorkers()
    void runWorkers();

    Queue currentQueue() const { return current_; }
    // What the agent has left with the sim: repeating timers, scheduled HTTP events (answers and
    // timeouts), and main-thread and callback-queue tasks not yet run.
    std::size_t timerCount() const { return timers_.size(); }
    std::size_t scheduledHttpEvents() const { return httpEvents_.size(); }
    std::size_t readyTasks() const;
    // Calls the platform made, in order ("windowing.createStatusItem", "ax.prompt", ...).
    std::vector<std::string> calls;
    void record(const std::string& call) { calls.push_back(call); }
    std::size_t callIndex(const std::string& call) const;  // npos when never made

    // Log messages written to the log file, timestamps stripped.
    std::vector<std::string> logLines() const;
    std::string logText() const;
    static constexpr const char* kLogPath = "/tmp/wellspire-agent.log";

    SimHttp& http() { return *http_; }
    SimWindowing& windowing() { return *windowing_; }
    SimAccessibility& accessibility() { return *accessibility_; }
    SimScreenCapture& screen() { return *screen_; }
    SimTextRecognizer& recognizer() { return *recognizer_; }
    SimWorkspace& workspace() { return *workspace_; }
    SimUrlEvents& urlEvents() { return *urlEvents_; }
    SimUserDefaults& defaults() { return *defaults_; }
    SimSecretStore& secrets() { return *secrets_; }
    SimFiles& files() { return *files_; }
    SimClock& clock() { return *clock_; }
    SimWorker& worker() { return *worker_; }

    SimLoopbackListeners& listeners() { return *listeners_; }

    // Blocks the calling queue for `seconds`: HTTP events and callback-queue work go on meanwhile.
    void block(double seconds);

    // Runs `task` as if on the given queue.
    void runOn(Queue q, const std::function<void()>& task);

private:
    friend class SimHttp;
    friend class SimMainLoop;
    friend class SimWorker;
    friend class SimSemaphore;
    struct TimerEntry {
        double interval;
        platform::TimePoint due;
        std::uint64_t seq;
        std::function<void()> task;
    };
    struct HttpEvent {
        platform::TimePoint due;
        std::uint64_t seq;
        std::size_t index;
        platform::HttpResponse response;
    };
    bool runOneReady(bool includeMain);
    // Fires the earliest timer or HTTP event due at or before `limit`; false when none.
    bool fireNext(platform::TimePoint limit, bool includeTimers);
    void completeRequest(std::size_t index, platform::HttpResponse response);
    void scheduleHttp(platform::TimePoint due, std::size_t index, platform::HttpResponse response);
    // Waits for a blocking semaphore: only HTTP events and callback-queue work make progress.
    bool blockUntil(const std::function<bool()>& ready, platform::TimePoint deadline);

    platform::TimePoint start_;
    platform::TimePoint now_;
    Queue current_ = Queue::Main;
    std::uint64_t seq_ = 0;
    std::vector<TimerEntry> timers_;
    std::vector<HttpEvent> httpEvents_;
    mutable std::mutex queueMutex_;
    std::deque<std::function<void()>> mainQueue_;
    std::deque<std::function<void()>> callbackQueue_;
    std::deque<std::function<void()>> workerQueue_;

    std::shared_ptr<SimClock> clock_;
    std::shared_ptr<SimMainLoop> mainLoop_;
    std::shared_ptr<SimHttp> http_;
    std::shared_ptr<SimWorker> worker_;
    std::shared_ptr<SimSemaphores> semaphores_;
    std::shared_ptr<SimSecretStore> secrets_;
    std::shared_ptr<SimFiles> files_;
    std::shared_ptr<SimAccessibility> accessibility_;
    std::shared_ptr<SimScreenCapture> screen_;
    std::shared_ptr<SimTextRecognizer> recognizer_;
    std::shared_ptr<SimWindowing> windowing_;
    std::shared_ptr<SimUserDefaults> defaults_;
    std::shared_ptr<SimWorkspace> workspace_;
    std::shared_ptr<SimUrlEvents> urlEvents_;
    std::shared_ptr<SimLoopbackListeners> listeners_;
};

}  // namespace sim
