#include "sim/SimPlatform.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <sstream>
#include <stdexcept>

namespace sim {

using platform::TimePoint;

nlohmann::json RecordedRequest::bodyJson() const {
    return nlohmann::json::parse(request.body, nullptr, false);
}

SimReply jsonReply(const nlohmann::json& body, long status, double delaySeconds) {
    platform::HttpResponse r;
    r.status = status;
    r.body = body.dump();
    return {r, delaySeconds};
}

// ---- HTTP ----

void SimHttp::send(platform::HttpRequest request, platform::HttpCompletion completion) {
    const std::size_t index = requests_.size();
    sim_.record("http:" + request.method + " " + request.url);
    const double timeout = request.timeoutSeconds;
    requests_.push_back({request, sim_.now(), false});
    completions_.push_back(std::move(completion));
    std::optional<SimReply> reply;
    if (responder_) reply = responder_(requests_.back().request);
    if (reply && (reply->delaySeconds < timeout || !honourTimeouts))
        sim_.scheduleHttp(platform::addSeconds(sim_.now(), reply->delaySeconds), index, reply->response);
    if (!honourTimeouts) return;
    platform::HttpResponse timedOut;
    timedOut.error = "The request timed out.";
    sim_.scheduleHttp(platform::addSeconds(sim_.now(), timeout), index, timedOut);
}

bool SimHttp::isCallbackQueue() const { return sim_.currentQueue() == Queue::Callback; }

std::vector<std::size_t> SimHttp::pending() const {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < requests_.size(); ++i)
        if (!requests_[i].completed) out.push_back(i);
    return out;
}

std::size_t SimHttp::count(const std::string& suffix) const {
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(), [&](const RecordedRequest& r) {
        return r.request.url.size() >= suffix.size() &&
               r.request.url.compare(r.request.url.size() - suffix.size(), suffix.size(), suffix) == 0;
    }));
}

std::optional<std::size_t> SimHttp::last(const std::string& suffix) const {
    for (std::size_t i = requests_.size(); i-- > 0;) {
        const auto& url = requests_[i].request.url;
        if (url.size() >= suffix.size() && url.compare(url.size() - suffix.size(), suffix.size(), suffix) == 0)
            return i;
    }
    return std::nullopt;
}

void SimHttp::answer(std::size_t index, platform::HttpResponse response) {
    sim_.completeRequest(index, std::move(response));
    sim_.runReady();
}

void SimHttp::answerJson(std::size_t index, const nlohmann::json& body, long status) {
    answer(index, jsonReply(body, status).response);
}

void SimHttp::fail(std::size_t index) {
    platform::HttpResponse r;
    r.error = "Could not connect to the server.";
    answer(index, r);
}

// ---- Main loop, worker, semaphores, clock ----

void SimMainLoop::post(std::function<void()> task) {
    std::lock_guard lock(sim_.queueMutex_);
    sim_.mainQueue_.push_back(std::move(task));
}

namespace {
class SimTimer final : public platform::Timer {};
}  // namespace

std::shared_ptr<platform::Timer> SimMainLoop::scheduleRepeating(double seconds, std::function<void()> task) {
    std::ostringstream name;
    name << "mainLoop.scheduleRepeating:" << seconds;
    sim_.record(name.str());
    sim_.timers_.push_back({seconds, platform::addSeconds(sim_.now(), seconds), sim_.seq_++, std::move(task)});
    return std::make_shared<SimTimer>();
}

bool SimMainLoop::isMainThread() const { return sim_.currentQueue() == Queue::Main; }

void SimWorker::run(std::function<void()> task) {
    std::lock_guard lock(sim_.queueMutex_);
    sim_.workerQueue_.push_back(std::move(task));
}

std::size_t SimWorker::queued() const {
    std::lock_guard lock(sim_.queueMutex_);
    return sim_.workerQueue_.size();
}

class SimSemaphore final : public platform::Semaphore {
public:
    explicit SimSemaphore(SimPlatform& sim) : sim_(sim) {}
    void signal() override { ++count_; }
    bool wait(double seconds) override {
        const TimePoint deadline = platform::addSeconds(sim_.now(), seconds);
        if (sim_.blockUntil([this] { return count_ > 0; }, deadline)) {
            --count_;
            return true;
        }
        return false;
    }

private:
    SimPlatform& sim_;
    int count_ = 0;
};

std::shared_ptr<platform::Semaphore> SimSemaphores::make() { return std::make_shared<SimSemaphore>(sim_); }

TimePoint SimClock::now() const { return sim_.now(); }

int SimClock::localHour(TimePoint t) const {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t) + utcOffsetSeconds;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return tm.tm_hour;
}

// ---- Windowing ----

void SimPanel::orderFrontRegardless() {
    visible_ = true;
    sim_.record("panel.orderFront");
}

void SimPanel::press(const std::string& title) {
    auto self = self_.lock();
    for (const auto& b : layout_.buttons)
        if (b.title == title && b.action) {
            sim_.runOn(Queue::Main, [&] { b.action(self); });
            return;
        }
    throw std::runtime_error("no button " + title);
}

std::vector<std::shared_ptr<platform::MenuItem>> SimStatusItem::setMenu(const std::vector<platform::MenuEntry>& entries) {
    sim_.record("statusItem.setMenu");
    menu_.clear();
    std::vector<std::shared_ptr<platform::MenuItem>> out;
    for (const auto& e : entries) {
        auto item = std::make_shared<SimMenuItem>(e);
        menu_.push_back(item);
        out.push_back(e.separator ? nullptr : item);
    }
    return out;
}

std::shared_ptr<SimMenuItem> SimStatusItem::item(const std::string& title) const {
    for (const auto& m : menu_)
        if (!m->entry().separator && m->title() == title) return m;
    return nullptr;
}

void SimWindowing::setAccessoryActivationPolicy() { sim_.record("windowing.setAccessoryActivationPolicy"); }

std::shared_ptr<platform::StatusItem> SimWindowing::createStatusItem() {
    sim_.record("windowing.createStatusItem");
    statusItem = std::make_shared<SimStatusItem>(sim_, statusItemHasButton);
    return statusItem;
}

std::shared_ptr<platform::StatusImage> SimWindowing::loadImage(const std::string& path) {
    if (!loadableImages.count(path)) return nullptr;
    return std::make_shared<SimStatusImage>(path);
}

std::shared_ptr<platform::StatusImage> SimWindowing::namedImage(const std::string& name) {
    if (!namedImages.count(name)) return nullptr;
    return std::make_shared<SimStatusImage>("named:" + name);
}

int SimWindowing::runModal(const platform::Alert& alert) {
    sim_.record("windowing.runModal:" + alert.messageText);
    alerts.push_back(alert);
    int choice = 0;
    if (!alertAnswers.empty()) {
        choice = alertAnswers.front();
        alertAnswers.pop_front();
    }
    return platform::kAlertFirstButtonReturn + choice;
}

std::shared_ptr<platform::Panel> SimWindowing::createPanel(const platform::PanelLayout& layout) {
    auto panel = std::make_shared<SimPanel>(sim_, layout);
    panel->self_ = panel;
    panels.push_back(panel);
    return panel;
}

double SimWindowing::textHeight(const std::string& text, platform::Font font, double width) {
    if (textMeasure) return textMeasure(text, font, width);
    // A rough monospace model: half the font size per byte, 1.2 line height.
    const double perLine = std::max(1.0, std::floor(width / (font.size * 0.5)));
    double lines = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t nl = text.find('\n', start);
        const std::size_t len = (nl == std::string::npos ? text.size() : nl) - start;
        lines += std::max(1.0, std::ceil(static_cast<double>(len) / perLine));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return std::ceil(lines * font.size * 1.2);
}

void SimWindowing::playSound(const std::string& name) { sounds.push_back(name); }

bool SimWindowing::openURL(const std::string& url) {
    sim_.record("windowing.openURL:" + url);
    openedURLs.push_back(url);
    return openURLSucceeds;
}

// The simulated desktop names its places as macOS does.
std::string SimWindowing::placeName(platform::Place place) {
    switch (place) {
        case platform::Place::SystemSettings: return "System Settings";
        case platform::Place::AccessibilitySettings: return "System Settings ▸ Privacy & Security ▸ Accessibility";
        case platform::Place::MoveToApplications:
            return "Drag WellspireAgent.app into the Applications folder (use Finder)";
        case platform::Place::ThisComputer: return "This Mac";
    }
    return {};
}

void SimWindowing::terminate() {
    sim_.record("windowing.terminate");
    terminated = true;
}

std::vector<std::shared_ptr<SimPanel>> SimWindowing::visiblePanels() const {
    std::vector<std::shared_ptr<SimPanel>> out;
    for (const auto& p : panels)
        if (p->isVisible()) out.push_back(p);
    return out;
}

std::shared_ptr<SimPanel> SimWindowing::panelTitled(const std::string& prefix) const {
    for (const auto& p : panels)
        if (p->isVisible() && p->identifier().rfind(prefix, 0) == 0) return p;
    return nullptr;
}

// ---- Accessibility ----

bool SimAccessibility::isProcessTrusted() { return trusted; }

bool SimAccessibility::isProcessTrustedWithPrompt() {
    sim_.record("ax.trustedWithPrompt");
    return trusted;
}

std::shared_ptr<platform::AXElement> SimAccessibility::focusedElement() {
    ++reads;
    return focused;
}

void SimAccessibility::setFocusedText(const std::string& text) {
    focused = std::make_shared<SimElement>();
    focused->attributes["AXValue"] = platform::AXValue{true, text};
}

// ---- Screen capture ----

void SimScreenCapture::request() { sim_.record("screen.request"); }

void SimScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    ++contentRequests;
    completion(content);
}

void SimScreenCapture::finish(const CaptureCall& call, std::function<void(platform::CaptureResult)> completion) {
    auto deliver = [this, call, completion = std::move(completion)] {
        if (captureError) {
            completion(platform::CaptureError{*captureError});
            return;
        }
        auto image = std::make_shared<platform::Image>();
        image->width = call.width;
        image->height = call.height;
        completion(std::shared_ptr<const platform::Image>(image));
    };
    if (deferCaptures)
        deferred_.push_back(std::move(deliver));
    else
        deliver();
}

void SimScreenCapture::captureWindow(const platform::ShareableWindow& window, int w, int h,
                                     std::function<void(platform::CaptureResult)> completion) {
    CaptureCall call{true, window.id, {}, w, h};
    calls.push_back(call);
    finish(call, std::move(completion));
}

void SimScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                      const std::vector<platform::ShareableWindow>& excluding, int w, int h,
                                      std::function<void(platform::CaptureResult)> completion) {
    CaptureCall call{false, display.id, {}, w, h};
    for (const auto& win : excluding) call.excluded.push_back(win.id);
    calls.push_back(call);
    finish(call, std::move(completion));
}

void SimScreenCapture::completeDeferred() {
    auto pending = std::move(deferred_);
    deferred_.clear();
    for (auto& d : pending) sim_.runOn(Queue::Worker, d);
}

// ---- Workspace, URL events, defaults, secrets, files ----

std::shared_ptr<platform::Registration> SimWorkspace::addActivationObserver(
    std::function<void(const std::optional<platform::RunningApplication>&)> handler) {
    sim_.record("workspace.addActivationObserver");
    auto reg = std::make_shared<SimRegistration>();
    observers_.emplace_back(reg, std::move(handler));
    return reg;
}

void SimWorkspace::removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) {
    sim_.record("workspace.removeActivationObserver");
    std::erase_if(observers_, [&](const auto& p) { return p.first == registration; });
}

std::shared_ptr<platform::Registration> SimWorkspace::addGlobalKeyDownMonitor(std::function<void(int)> handler) {
    sim_.record("workspace.addGlobalKeyDownMonitor");
    auto reg = std::make_shared<SimRegistration>();
    keyMonitors_.emplace_back(reg, std::move(handler));
    return reg;
}

void SimWorkspace::activate(const std::optional<platform::RunningApplication>& app) {
    if (app) frontmost = app;
    auto copy = observers_;
    sim_.runOn(Queue::Main, [&] {
        for (auto& [reg, handler] : copy) handler(app);
    });
}

void SimWorkspace::focusWindow(const platform::RunningApplication& app) {
    if (change_.becameActive(app)) activate(app);
}

void SimWorkspace::keyDown(int keyCode) {
    auto copy = keyMonitors_;
    sim_.runOn(Queue::Main, [&] {
        for (auto& [reg, handler] : copy) handler(keyCode);
    });
}

void SimUrlEvents::setGetURLHandler(std::function<void(const std::optional<std::string>&)> handler) {
    sim_.record("urlEvents.setGetURLHandler");
    handler_ = std::move(handler);
}

void SimUrlEvents::open(const std::optional<std::string>& url) {
    if (handler_) sim_.runOn(Queue::Main, [&] { handler_(url); });
}

bool SimUserDefaults::boolForKey(const std::string& key) {
    reads.push_back(key);
    auto it = values.find(key);
    return it != values.end() && it->second;
}

std::optional<std::string> SimSecretStore::read(const std::string& service, const std::string& account) {
    return readWithin(service, account, readSeconds);
}

std::optional<std::string> SimSecretStore::readWithin(const std::string& service, const std::string& account,
                                                      double seconds) {
    ++readCount;
    if (readSeconds > 0) sim_.block(std::min(seconds, readSeconds));
    if (readSeconds > seconds) return std::nullopt;
    if (!available) return std::nullopt;
    auto it = items.find({service, account});
    if (it == items.end()) return std::nullopt;
    return it->second;
}

void SimSecretStore::add(const std::string& service, const std::string& account, const std::string& bytes) {
    if (!available) return;
    items.emplace(std::make_pair(service, account), bytes);  // add fails when an item exists
}

void SimSecretStore::remove(const std::string& service, const std::string& account) {
    if (!available) return;
    items.erase({service, account});
}

std::optional<std::string> SimFiles::readFile(const std::string& path) {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
}

bool SimFiles::appendLog(const std::string& path, const std::string& bytes) {
    if (unwritable.count(path)) return false;
    files[path] += bytes;
    return true;
}

std::optional<std::string> SimFiles::resourcePath(const std::string& name, const std::string& type) const {
    if (!resources.count(name + "." + type)) return std::nullopt;
    return resourceDir + "/" + name + "." + type;
}

// ---- The platform ----

SimPlatform::SimPlatform(TimePoint start) : start_(start), now_(start) {
    clock_ = std::make_shared<SimClock>(*this);
    mainLoop_ = std::make_shared<SimMainLoop>(*this);
    http_ = std::make_shared<SimHttp>(*this);
    worker_ = std::make_shared<SimWorker>(*this);
    semaphores_ = std::make_shared<SimSemaphores>(*this);
    secrets_ = std::make_shared<SimSecretStore>(*this);
    files_ = std::make_shared<SimFiles>();
    accessibility_ = std::make_shared<SimAccessibility>(*this);
    screen_ = std::make_shared<SimScreenCapture>(*this);
    recognizer_ = std::make_shared<SimTextRecognizer>();
    windowing_ = std::make_shared<SimWindowing>(*this);
    defaults_ = std::make_shared<SimUserDefaults>();
    workspace_ = std::make_shared<SimWorkspace>(*this);
    urlEvents_ = std::make_shared<SimUrlEvents>(*this);
    listeners_ = std::make_shared<SimLoopbackListeners>();
    platform::install({clock_, mainLoop_, http_, worker_, semaphores_, secrets_, files_, accessibility_, screen_,
                       recognizer_, windowing_, defaults_, workspace_, urlEvents_, listeners_});
}

SimPlatform::~SimPlatform() { platform::install({}); }

TimePoint SimPlatform::at(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}

TimePoint SimPlatform::defaultStart() { return at(2026, 12, 7, 12, 0, 0); }

void SimPlatform::runOn(Queue q, const std::function<void()>& task) {
    const Queue saved = current_;
    current_ = q;
    task();
    current_ = saved;
}

bool SimPlatform::runOneReady(bool includeMain) {
    std::function<void()> task;
    Queue q = Queue::Main;
    {
        std::lock_guard lock(queueMutex_);
        if (includeMain && !mainQueue_.empty()) {
            task = std::move(mainQueue_.front());
            mainQueue_.pop_front();
            q = Queue::Main;
        } else if (!callbackQueue_.empty()) {
            task = std::move(callbackQueue_.front());
            callbackQueue_.pop_front();
            q = Queue::Callback;
        } else if (includeMain && autoRunWorkers && !workerQueue_.empty()) {
            task = std::move(workerQueue_.front());
            workerQueue_.pop_front();
            q = Queue::Worker;
        }
    }
    if (!task) return false;
    runOn(q, task);
    return true;
}

void SimPlatform::runReady() {
    while (runOneReady(true)) {
    }
}

void SimPlatform::runWorkers() {
    while (true) {
        std::function<void()> task;
        {
            std::lock_guard lock(queueMutex_);
            if (workerQueue_.empty()) break;
            task = std::move(workerQueue_.front());
            workerQueue_.pop_front();
        }
        runOn(Queue::Worker, task);
        runReady();
    }
}

bool SimPlatform::fireNext(TimePoint limit, bool includeTimers) {
    TimerEntry* timer = nullptr;
    if (includeTimers)
        for (auto& t : timers_)
            if (t.due <= limit && (!timer || t.due < timer->due || (t.due == timer->due && t.seq < timer->seq)))
                timer = &t;
    auto http = httpEvents_.end();
    for (auto it = httpEvents_.begin(); it != httpEvents_.end(); ++it)
        if (it->due <= limit && (http == httpEvents_.end() || it->due < http->due ||
                                 (it->due == http->due && it->seq < http->seq)))
            http = it;
    const bool takeHttp = http != httpEvents_.end() &&
                          (!timer || http->due < timer->due || (http->due == timer->due && http->seq < timer->seq));
    if (takeHttp) {
        HttpEvent ev = std::move(*http);
        httpEvents_.erase(http);
        if (ev.due > now_) now_ = ev.due;
        completeRequest(ev.index, std::move(ev.response));
        return true;
    }
    if (!timer) return false;
    if (timer->due > now_) now_ = timer->due;
    timer->due = platform::addSeconds(timer->due, timer->interval);
    while (timer->due <= now_) timer->due = platform::addSeconds(timer->due, timer->interval);
    auto task = timer->task;  // the vector may grow while it runs
    runOn(Queue::Main, task);
    return true;
}

void SimPlatform::advance(double seconds) {
    const TimePoint target = platform::addSeconds(now_, seconds);
    runReady();
    while (fireNext(target, true)) runReady();
    if (target > now_) now_ = target;
    runReady();
}

void SimPlatform::completeRequest(std::size_t index, platform::HttpResponse response) {
    if (index >= http_->requests_.size() || http_->requests_[index].completed) return;
    http_->requests_[index].completed = true;
    auto completion = std::move(http_->completions_[index]);
    std::lock_guard lock(queueMutex_);
    callbackQueue_.push_back([completion = std::move(completion), response = std::move(response)] {
        completion(response);
    });
}

void SimPlatform::scheduleHttp(TimePoint due, std::size_t index, platform::HttpResponse response) {
    httpEvents_.push_back({due, seq_++, index, std::move(response)});
}

bool SimPlatform::blockUntil(const std::function<bool()>& ready, TimePoint deadline) {
    while (true) {
        while (runOneReady(false)) {
        }
        if (ready()) return true;
        if (!fireNext(deadline, false)) break;
    }
    if (deadline > now_) now_ = deadline;
    return ready();
}

void SimPlatform::block(double seconds) {
    blockUntil([] { return false; }, platform::addSeconds(now_, seconds));
}

std::size_t SimPlatform::readyTasks() const {
    std::lock_guard lock(queueMutex_);
    return mainQueue_.size() + callbackQueue_.size();
}

std::size_t SimPlatform::callIndex(const std::string& call) const {
    auto it = std::find(calls.begin(), calls.end(), call);
    return it == calls.end() ? std::string::npos : static_cast<std::size_t>(it - calls.begin());
}

std::vector<std::string> SimPlatform::logLines() const {
    std::vector<std::string> out;
    auto it = files_->files.find(kLogPath);
    if (it == files_->files.end()) return out;
    const std::string& text = it->second;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(start, nl - start);
        // "2026-12-07T12:00:00Z  " is 22 characters.
        if (line.size() >= 22 && line[4] == '-' && line[10] == 'T' && line[19] == 'Z' && line.compare(20, 2, "  ") == 0)
            line = line.substr(22);
        out.push_back(line);
        start = nl + 1;
    }
    return out;
}

std::string SimPlatform::logText() const {
    auto it = files_->files.find(kLogPath);
    return it == files_->files.end() ? std::string() : it->second;
}

}  // namespace sim
