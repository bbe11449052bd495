#include "signals/Monitor.h"

#include "backend/Backend.h"
#include "backend/JsonRead.h"
#include "backend/Log.h"
#include "backend/Text.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "platform/Platform.h"
#include "signals/AXReader.h"

std::shared_ptr<Monitor> Monitor::create() { return std::shared_ptr<Monitor>(new Monitor()); }

void Monitor::start() {
    std::weak_ptr<Monitor> weak = weak_from_this();
    timer = platform::mainLoop().scheduleRepeating(tickSeconds, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
}

void Monitor::tick() {
    const platform::TimePoint now = platform::clock().now();
    if (Snooze::isSnoozed(now)) return;
    auto read = AXReader::focusedText();
    if (!read) return;
    std::string text = Text::trim(*read);
    if (Text::length(text) < minimumLength) {
        pending.clear();
        return;
    }
    if (text != pending) {
        pending = std::move(text);
        pendingSince = now;
        return;
    }
    if (platform::secondsBetween(pendingSince, now) < settleSeconds) return;
    if (text == lastScanned) return;
    lastScanned = text;
    std::weak_ptr<Monitor> weak = weak_from_this();
    Backend::post("/api/monitor", nlohmann::json{{"text", text}}, [weak](std::optional<nlohmann::json> reply) {
        if (auto self = weak.lock()) self->handleJudgment(reply);
    });
}

void Monitor::handleJudgment(const std::optional<nlohmann::json>& reply) {
    if (!reply) return;
    const nlohmann::json l1 = JsonRead::objectOrEmpty(*reply, "l1");
    const bool tier3 = JsonRead::boolean(l1, "tier3").value_or(false);
    const std::string levelName = JsonRead::string(l1, "level_name").value_or("?");
    std::string cats;
    if (auto it = l1.find("categories"); it != l1.end() && it->is_array()) {
        bool allStrings = true;
        for (const auto& c : *it) allStrings = allStrings && c.is_string();
        if (allStrings)
            for (const auto& c : *it) cats += (cats.empty() ? "" : ",") + c.get<std::string>();
    }
    const std::string surface =
        JsonRead::string(JsonRead::objectOrEmpty(*reply, "judgment"), "surface").value_or("none");

    const platform::TimePoint now = platform::clock().now();
    const bool quiet = now < quietUntil;
    wsLog("SCAN level=" + logValue(levelName) + " cats=[" + logValue(cats) + "] tier3=" + (tier3 ? "true" : "false") +
          " surface=" + logValue(surface) + " quiet=" + (quiet ? "true" : "false"));

    if (surface == "urgent" || tier3) {
        if (now < crisisQuietUntil) {
            wsLog("  -> suppressed (crisis cooldown)");
            return;
        }
        crisisQuietUntil = platform::addSeconds(now, crisisCooldownSeconds);
        quietUntil = platform::addSeconds(now, gentleDebounceSeconds);
        Popup::shared().show("Wellspire — let’s loop someone in",
                             "Something you just wrote suggests you’re in real pain. You don’t have to carry it "
                             "alone. If it’s urgent, call or text 988.",
                             true);
    } else if (surface == "gentle") {
        if (quiet) {
            wsLog("  -> suppressed (debounce, 4s)");
            return;
        }
        quietUntil = platform::addSeconds(now, gentleDebounceSeconds);
        Popup::shared().show("Wellspire noticed something",
                             "The last little while has leaned harder than your usual. Want to take a breath or "
                             "talk it through?",
                             false);
    } else {
        wsLog("  -> no popup (nothing detected)");
    }
}
