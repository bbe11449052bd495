#include "signals/ScreenReader.h"

#include <algorithm>
#include <cmath>

#include "backend/Backend.h"
#include "backend/JsonRead.h"
#include "backend/Log.h"
#include "backend/Text.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "platform/Platform.h"

namespace {

const char* const kCrisisTitle = "Wellspire — let's loop someone in";
const char* const kQuietTitle = "Wellspire — a quiet check-in";
const char* const kScanCrisisMessage =
    "Something you wrote matched a crisis signal. You don't have to carry it alone. If it's urgent, call or text 988.";
const char* const kConfirmedCrisisMessage =
    "What you're writing sounds really heavy. You don't have to carry it alone. If it's urgent, call or text 988.";
const char* const kQuietMessage = "Looks like a lot on you right now. Want to take a breath together?";

std::string withPhrase(const std::string& message, const char* label, const std::string& phrase) {
    if (phrase.empty()) return message;
    return message + "\n\n" + label + ": \u201C" + phrase + "\u201D";
}

int truncatedSide(double points, double scale) {
    const double pixels = std::trunc(points * scale);
    if (!(pixels >= 1)) return 1;
    if (pixels > 1e9) return 1000000000;
    return static_cast<int>(pixels);
}

}  // namespace

std::shared_ptr<ScreenReader> ScreenReader::create() { return std::shared_ptr<ScreenReader>(new ScreenReader()); }

void ScreenReader::start() {
    std::weak_ptr<ScreenReader> weak = weak_from_this();
    timer = platform::mainLoop().scheduleRepeating(tickSeconds, [weak] {
        if (auto self = weak.lock()) self->timerFired();
    });
}

void ScreenReader::timerFired() {
    if (busy.load() || scheduled.load()) return;
    auto& worker = platform::get().worker;
    if (!worker) return;
    scheduled.store(true);
    std::weak_ptr<ScreenReader> weak = weak_from_this();
    worker->run([weak] {
        if (auto self = weak.lock()) {
            self->scheduled.store(false);
            self->tick();
        }
    });
}

std::pair<int, int> ScreenReader::pixelSize(double width, double height) {
    const double longer = std::max(width, height);
    double scale = largestScale;
    while (scale > 1 && longer * scale > longestSidePixels) scale -= 1;
    while (longer * scale > longestSidePixels) scale /= 2;
    return {truncatedSide(width, scale), truncatedSide(height, scale)};
}

std::optional<ScreenReader::Target> ScreenReader::chooseTarget(
    const platform::ShareableContent& content, const std::optional<platform::RunningApplication>& frontmost,
    int ownPid) {
    if (frontmost) {
        for (const auto& window : content.windows) {
            if (!window.ownerPid || *window.ownerPid != frontmost->pid || !window.onScreen) continue;
            if (!(window.frame.width > minimumWindowSide && window.frame.height > minimumWindowSide)) continue;
            Target target;
            target.isWindow = true;
            target.window = window;
            std::tie(target.pixelWidth, target.pixelHeight) = pixelSize(window.frame.width, window.frame.height);
            return target;
        }
    }
    if (content.displays.empty()) return std::nullopt;
    Target target;
    target.display = content.displays.front();
    std::tie(target.pixelWidth, target.pixelHeight) = pixelSize(target.display.width, target.display.height);
    for (const auto& window : content.windows)
        if (window.ownerPid && *window.ownerPid == ownPid) target.excluded.push_back(window);
    return target;
}

void ScreenReader::tick() {
    if (Snooze::isSnoozed(platform::clock().now())) return;
    const auto& services = platform::get();
    if (!services.screenCapture || !services.screenCapture->preflight()) return;
    if (services.workspace) {
        auto front = services.workspace->frontmostApplication();
        if (front && front->bundleIdentifier && *front->bundleIdentifier == ownBundleIdentifier) return;
    }
    // Set here, after the cycle's own checks, so skipped cycles never hold it.
    busy.store(true);
    std::weak_ptr<ScreenReader> weak = weak_from_this();
    services.screenCapture->shareableContent([weak](platform::ContentResult result) {
        auto self = weak.lock();
        if (!self) return;
        if (auto* error = std::get_if<platform::CaptureError>(&result)) {
            self->failed(*error);
            return;
        }
        const auto& services = platform::get();
        const auto front = services.workspace ? services.workspace->frontmostApplication() : std::nullopt;
        const int ownPid = services.workspace ? services.workspace->ownPid() : -1;
        auto target = chooseTarget(std::get<platform::ShareableContent>(result), front, ownPid);
        if (!target) {
            self->busy.store(false);
            return;
        }
        auto completion = [weak](platform::CaptureResult captured) {
            if (auto reader = weak.lock()) reader->captured(captured);
        };
        if (target->isWindow)
            services.screenCapture->captureWindow(target->window, target->pixelWidth, target->pixelHeight, completion);
        else
            services.screenCapture->captureDisplay(target->display, target->excluded, target->pixelWidth,
                                                   target->pixelHeight, completion);
    });
}

void ScreenReader::failed(const platform::CaptureError& error) {
    wsLog("OCR capture FAILED (likely Screen Recording not granted): " + error.description);
    busy.store(false);
}

void ScreenReader::captured(const platform::CaptureResult& result) {
    if (auto* error = std::get_if<platform::CaptureError>(&result)) {
        failed(*error);
        return;
    }
    const auto& image = std::get<std::shared_ptr<const platform::Image>>(result);
    if (!image) {
        failed(platform::CaptureError{"no image"});
        return;
    }
    wsLog("OCR captured " + std::to_string(image->width) + "x" + std::to_string(image->height));
    recognize(*image);
    busy.store(false);
}

void ScreenReader::recognize(const platform::Image& image) {
    auto& recognizer = platform::get().textRecognizer;
    if (!recognizer) return;
    auto lines = recognizer->recognize(image);
    if (!lines) return;
    std::string joined;
    bool first = true;
    for (const auto& line : *lines) {
        if (!line) continue;
        if (!first) joined += ' ';
        joined += *line;
        first = false;
    }
    handle(joined);
}

bool ScreenReader::stillPermitted() {
    const auto& capture = platform::get().screenCapture;
    return capture && capture->preflight();
}

bool ScreenReader::isOwnDashboard(const std::string& text) {
    if (text.find("Wellspire") == std::string::npos) return false;
    for (const char* feature : {"Steady Talk", "Energy Dial", "Weather report", "Snapshots"})
        if (text.find(feature) != std::string::npos) return true;
    return false;
}

void ScreenReader::handle(const std::string& recognised) {
    std::string text = Text::trim(Text::toValidUtf8(recognised));
    if (Text::length(text) > longestText) text = Text::prefix(text, longestText);
    if (Text::length(text) < shortestText) return;
    if (text == lastText) return;
    // Recognition takes seconds: the user may have withdrawn the reading of their screen meanwhile.
    // What was not sent is not remembered as sent.
    if (!stillPermitted()) return;
    lastText = text;
    if (isOwnDashboard(text)) return;
    std::weak_ptr<ScreenReader> weak = weak_from_this();
    Backend::post("/api/scan", nlohmann::json{{"text", text}}, [weak, text](std::optional<nlohmann::json> reply) {
        if (auto self = weak.lock()) self->handleScanReply(reply, text);
    });
}

void ScreenReader::handleScanReply(const std::optional<nlohmann::json>& reply, const std::string& text) {
    if (!reply) return;
    const bool tier3 = JsonRead::boolean(*reply, "tier3").value_or(false);
    const auto level = JsonRead::integer(*reply, "level");
    if (!level || *level < 1) return;

    std::vector<nlohmann::json> hits;
    if (auto it = reply->find("hits"); it != reply->end() && it->is_array()) {
        const bool allObjects = std::all_of(it->begin(), it->end(), [](const auto& h) { return h.is_object(); });
        if (allObjects) hits.assign(it->begin(), it->end());
    }
    const nlohmann::json* crisisHit = nullptr;
    for (const auto& hit : hits) {
        if (JsonRead::string(hit, "tier") == std::optional<std::string>("3")) {
            crisisHit = &hit;
            break;
        }
    }
    std::string phrase;
    if (tier3 && crisisHit && JsonRead::string(*crisisHit, "phrase"))
        phrase = *JsonRead::string(*crisisHit, "phrase");
    else if (!hits.empty())
        phrase = JsonRead::string(hits.front(), "phrase").value_or("");

    const platform::TimePoint now = platform::clock().now();
    if (phrase == lastPopPhrase && now < platform::addSeconds(lastPopAt, phraseRepeatSeconds)) return;

    if (tier3) {
        lastPopPhrase = phrase;
        lastPopAt = now;
        quietUntil = platform::addSeconds(now, quietSeconds);
        const std::string message = withPhrase(kScanCrisisMessage, "Detected", phrase);
        wsLog("OCR tier-3 crisis \u2192 popup");
        Popup::shared().show(kCrisisTitle, message, true);
        return;
    }
    if (now < quietUntil) return;
    // The screen's text goes out again only while its reading is still agreed to.
    if (!stillPermitted()) return;

    std::weak_ptr<ScreenReader> weak = weak_from_this();
    Backend::post("/api/monitor", nlohmann::json{{"text", text}}, [weak, phrase](std::optional<nlohmann::json> r) {
        if (auto self = weak.lock()) self->handleConfirmReply(r, phrase);
    });
}

void ScreenReader::handleConfirmReply(const std::optional<nlohmann::json>& reply, const std::string& phrase) {
    if (!reply) return;
    const nlohmann::json judgment = JsonRead::objectOrEmpty(*reply, "judgment");
    const std::string surface = JsonRead::string(judgment, "surface").value_or("none");
    const std::string risk = JsonRead::string(judgment, "risk_level").value_or("none");
    if (surface == "none") {
        wsLog("OCR candidate judged " + logValue(risk) + " in context \u2192 no popup");
        return;
    }
    const platform::TimePoint now = platform::clock().now();
    lastPopPhrase = phrase;
    lastPopAt = now;
    quietUntil = platform::addSeconds(now, quietSeconds);
    const bool crisis = surface == "urgent";
    const std::string message =
        withPhrase(crisis ? kConfirmedCrisisMessage : kQuietMessage, "Noticed", phrase);
    wsLog("OCR " + logValue(risk) + " confirmed in context \u2192 popup (crisis=" + (crisis ? "true" : "false") + ")");
    Popup::shared().show(crisis ? kCrisisTitle : kQuietTitle, message, crisis);
}
