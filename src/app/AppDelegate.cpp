#include "app/AppDelegate.h"

#include "backend/Backend.h"
#include "backend/Config.h"
#include "backend/JsonRead.h"
#include "backend/Log.h"
#include "backend/Url.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "pairing/DeviceAuth.h"
#include "pairing/KeychainStore.h"
#include "pairing/PairingCallback.h"
#include "platform/Platform.h"
#include "signals/AppUsageTracker.h"
#include "signals/Behavioral.h"
#include "signals/Monitor.h"
#include "signals/ScreenReader.h"

namespace {

const char* flag(bool b) { return b ? "true" : "false"; }

std::string place(platform::Place p) { return platform::get().windowing->placeName(p); }

std::string translocationInfo() {
    return "macOS is running this copy from a temporary location, so permissions can't be saved.\n\n1. Quit this app.\n2. " +
           place(platform::Place::MoveToApplications) +
           ".\n3. Open it from Applications.\n\nThen Accessibility and Screen Recording will stick.";
}

}  // namespace

// The sources are created with the delegate, in this order, and never replaced.
AppDelegate::AppDelegate()
    : monitor_(Monitor::create()),
      behavioral_(Behavioral::create()),
      screenReader_(ScreenReader::create()),
      appUsage_(AppUsageTracker::create()) {}

std::shared_ptr<AppDelegate> AppDelegate::create() { return std::shared_ptr<AppDelegate>(new AppDelegate()); }

void AppDelegate::applicationDidFinishLaunching() {
    const auto& p = platform::get();
    p.windowing->setAccessoryActivationPolicy();

    resolveBackend();

    const std::string bundlePath = p.workspace->bundlePath();
    wsLog("LAUNCH path=" + bundlePath + " ax=" + flag(p.accessibility->isProcessTrusted()) +
          " screen=" + flag(p.screenCapture->preflight()));

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    p.urlEvents->setGetURLHandler([weak](const std::optional<std::string>& url) {
        if (auto self = weak.lock()) self->handleGetURLEvent(url);
    });

    if (bundlePath.find("/AppTranslocation/") != std::string::npos) {
        wsLog("TRANSLOCATED — asking user to move to /Applications");
        p.windowing->runModal({"Move Wellspire Agent to Applications first", translocationInfo(), {"Quit"}});
        p.windowing->terminate();
        return;
    }

    appUsage_->start();

    statusItem_ = p.windowing->createStatusItem();
    if (statusItem_ && statusItem_->hasButton()) {
        statusItem_->setImage(menubarEmblem());
        statusItem_->setImageLeftOfTitle();
    }
    setStatus();
    buildMenu();

    startGatingPoll();

    const bool trusted = p.accessibility->isProcessTrusted();
    if (!trusted) p.accessibility->isProcessTrustedWithPrompt();

    setStatus();
    startTrustPoll();

    if (!screenStarted_) {
        screenStarted_ = true;
        if (!p.screenCapture->preflight()) p.screenCapture->request();
        screenReader_->start();
    }

    if (!trusted && !p.userDefaults->boolForKey(kAxAlertShownKey)) {
        p.userDefaults->setBool(kAxAlertShownKey, true);
        notifyPermission();
    }
}

void AppDelegate::buildMenu() {
    if (!statusItem_) return;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    auto action = [weak](void (AppDelegate::*method)()) {
        return [weak, method] {
            if (auto self = weak.lock()) (self.get()->*method)();
        };
    };
    std::vector<platform::MenuEntry> entries = {
        {false, "Wellspire — monitoring", "", nullptr},
        {true, "", "", nullptr},
        {false, "Send test alert", "t", action(&AppDelegate::testAlert)},
        {false, "Open dashboard", "d", action(&AppDelegate::openDash)},
        {false, "Re-check permission", "p", action(&AppDelegate::checkPerm)},
        {true, "", "", nullptr},
        {false, DeviceAuth::isPaired() ? "Disconnect account" : "Connect account…", "c",
         action(&AppDelegate::toggleConnect)},
        {true, "", "", nullptr},
        {false, "Ignore for 1 hour", "1", action(&AppDelegate::snooze1h)},
        {false, "Ignore for 2 hours", "2", action(&AppDelegate::snooze2h)},
        {false, "Resume monitoring", "r", action(&AppDelegate::resumeNow)},
        {true, "", "", nullptr},
        {false, "Quit", "q", [] { platform::get().windowing->terminate(); }},
    };
    auto items = statusItem_->setMenu(entries);
    if (items.size() == entries.size()) {
        statusMenuItem_ = items[0];
        connectMenuItem_ = items[6];
    }
}

void AppDelegate::setStatus() {
    const auto& p = platform::get();
    const bool ax = p.accessibility->isProcessTrusted();
    const bool screen = p.screenCapture->preflight();
    std::string text;
    std::string title;
    if (Snooze::isSnoozed(p.clock->now())) {
        text = "Wellspire — paused";
        title = " 💤";
    } else if (ax && screen) {
        text = "Wellspire — watching over you";
        title = " 🟢";
    } else if (ax) {
        text = "⚠ Grant Screen Recording in " + place(platform::Place::SystemSettings);
        title = " 🟡";
    } else {
        text = "⚠ Grant Accessibility in " + place(platform::Place::SystemSettings);
        title = " 🔴";
    }
    if (statusItem_ && statusItem_->hasButton()) statusItem_->setTitle(title);
    if (statusMenuItem_) statusMenuItem_->setTitle(text);
}

std::shared_ptr<platform::StatusImage> AppDelegate::menubarEmblem() {
    const auto& p = platform::get();
    std::shared_ptr<platform::StatusImage> image;
    if (auto path = p.files->resourcePath("menubar", "png")) image = p.windowing->loadImage(*path);
    if (!image) image = p.windowing->namedImage("menubar");
    if (!image) return nullptr;
    image->setSize(20, 20);
    image->setTemplate(false);
    return image;
}

void AppDelegate::notifyPermission() {
    const auto& w = platform::get().windowing;
    const int choice = w->runModal({"Accessibility permission needed",
                                    "Grant Wellspire Agent access in " + place(platform::Place::AccessibilitySettings) +
                                        ", then quit and relaunch.",
                                    {"Open Settings", "Later"}});
    if (choice == platform::kAlertFirstButtonReturn) w->openURL(kAccessibilitySettingsURL);
}

void AppDelegate::startTrustPoll() {
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform::mainLoop().scheduleRepeating(2.0, [weak] {
        if (auto self = weak.lock()) self->trustPollFired();
    });
}

void AppDelegate::trustPollFired() {
    const bool trusted = platform::get().accessibility->isProcessTrusted();
    setStatus();
    if (trusted && !monitoringStarted_) {
        startMonitoring();
        wsLog("AX GRANTED → focused-field + behavioral monitoring started");
    }
}

void AppDelegate::startMonitoring() {
    monitoringStarted_ = true;
    monitor_->start();
    behavioral_->start();
}

// ---- Pattern gating poll ----

void AppDelegate::startGatingPoll() {
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform::mainLoop().scheduleRepeating(8.0, [weak] {
        if (auto self = weak.lock()) self->gatingTick();
    });
}

void AppDelegate::gatingTick() {
    if (Snooze::isSnoozed(platform::clock().now())) return;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    Backend::get("/api/gating", [weak](std::optional<nlohmann::json> reply) {
        if (auto self = weak.lock()) self->handleGatingReply(reply);
    });
}

void AppDelegate::handleGatingReply(const std::optional<nlohmann::json>& reply) {
    if (!reply) return;
    const bool urgent = JsonRead::boolean(*reply, "urgent").value_or(false);
    const bool gentle = JsonRead::boolean(*reply, "gentle").value_or(false);
    if (!gatingBaselined_) {
        gatingBaselined_ = true;
    } else if (urgent && !lastUrgent_) {
        Popup::shared().show("Wellspire — let's loop someone in",
                             "A pattern crossed a line we don't ignore. You don't have to carry it alone. If it's "
                             "urgent, call or text 988.",
                             true);
    } else if (gentle && !lastGentle_) {
        Popup::shared().show("Wellspire noticed something",
                             "The last little while has leaned harder than your usual. Want to take a breath or talk "
                             "it through?",
                             false);
    }
    lastUrgent_ = urgent;
    lastGentle_ = gentle;
}

// ---- Menu commands ----

void AppDelegate::testAlert() {
    Popup::shared().show("Wellspire is watching over you",
                         "If you can read this, the popup works. Real check-ins appear here the moment something "
                         "surfaces in what you're writing.",
                         false);
}

void AppDelegate::openDash() {
    const std::string url = Config::hostedBackend() + "/app";
    if (Url::parse(url)) platform::get().windowing->openURL(url);
}

void AppDelegate::checkPerm() {
    const auto& p = platform::get();
    const bool trusted = p.accessibility->isProcessTrustedWithPrompt();
    if (trusted && !monitoringStarted_) {
        monitoringStarted_ = true;
        setStatus();
        monitor_->start();
        behavioral_->start();
    }
    if (!p.screenCapture->preflight()) p.windowing->openURL(kScreenCaptureSettingsURL);
}

void AppDelegate::snooze1h() { Snooze::set(1); }
void AppDelegate::snooze2h() { Snooze::set(2); }

void AppDelegate::resumeNow() {
    Snooze::setUntil(platform::Clock::distantPast());
    wsLog("SNOOZE cleared");
}

// ---- Pairing ----

void AppDelegate::toggleConnect() {
    if (DeviceAuth::isPaired()) {
        KeychainStore::remove(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount);
        if (connectMenuItem_) connectMenuItem_->setTitle("Connect account…");
        resolveBackend();
        return;
    }
    const std::string url = Config::hostedBackend() + "/pair-agent";
    if (Url::parse(url)) platform::get().windowing->openURL(url);
}

void AppDelegate::handleGetURLEvent(const std::optional<std::string>& directObject) {
    if (!directObject || !Url::parse(*directObject)) return;
    handlePairingCallback(*directObject);
}

void AppDelegate::handlePairingCallback(const std::string& url) {
    wsLog("PAIR CALLBACK received: " + PairingCallback::redacted(url));
    if (!DeviceAuth::completePairing(url)) {
        wsLog("PAIR CALLBACK rejected (bad scheme/host or missing token)");
        return;
    }
    if (connectMenuItem_) connectMenuItem_->setTitle("Disconnect account");
    resolveBackend();
    Popup::shared().show("Connected", place(platform::Place::ThisComputer) + "'s activity now reaches your dashboard.",
                         false);
}
