// Three days of the whole agent on the simulated platform, with a backend that answers at random
// (valid, malformed, failing, silent) and a user who does a bit of everything. Every virtual hour
// the state the agent holds must stay within its windows.
#include <algorithm>
#include <chrono>
#include <deque>
#include <iostream>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "backend/Backend.h"
#include "backend/Config.h"
#include "backend/Text.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "pairing/DeviceAuth.h"
#include "signals/AppUsageTracker.h"
#include "signals/Behavioral.h"
#include "signals/Monitor.h"
#include "signals/ScreenReader.h"
#include "sim/SimPlatform.h"

namespace {

using Json = nlohmann::json;
using platform::TimePoint;

constexpr const char* kPrimary = "https://primary.wellspire.test";
constexpr int kHours = 72;
constexpr std::uint32_t kSeed = 20261207;
// Per virtual hour: every timer firing writes at most a few lines, none long.
constexpr std::size_t kMaxLogLinesPerHour = 25000;
constexpr std::size_t kMaxLogBytesPerHour = 3u << 20;
// The longest line a reply could ever cause, with every value from it cut short; the pairing
// line carries at most the 8 KiB a hand-off may bring.
constexpr std::size_t kMaxLogLineBytes = 9000;

// Times of the events the test caused, forgotten once older than any window that counts them.
class EventTimes {
public:
    void add(TimePoint t) { times_.push_back(t); }
    std::size_t since(TimePoint t) const {
        return static_cast<std::size_t>(
            std::count_if(times_.begin(), times_.end(), [&](TimePoint e) { return e >= t; }));
    }
    void forgetBefore(TimePoint t) {
        while (!times_.empty() && times_.front() < t) times_.pop_front();
    }

private:
    std::deque<TimePoint> times_;
};

class Soak {
public:
    Soak() : rng_(kSeed) {
        Config::resetForTesting(kPrimary, "https://fallback.wellspire.test");
        Popup::shared().resetForTesting();
        Snooze::setUntil(platform::Clock::distantPast());
        sim_.http().setResponder([this](const platform::HttpRequest& r) { return reply(r); });
        sim_.files().resources.insert("menubar.png");
        sim_.windowing().loadableImages.insert(sim_.files().resourceDir + "/menubar.png");
        sim_.accessibility().trusted = true;
        sim_.screen().permitted = true;
        sim_.workspace().frontmost = app(0);
    }
    ~Soak() { Popup::shared().resetForTesting(); }

    void run() {
        delegate_ = AppDelegate::create();
        delegate_->applicationDidFinishLaunching();
        sim_.runReady();
        std::size_t logBytes = sim_.logText().size();
        for (int hour = 1; hour <= kHours; ++hour) {
            const TimePoint end = platform::addSeconds(sim_.now(), 3600);
            while (sim_.now() < end) {
                const double step = std::min(std::exponential_distribution<double>(1.0 / 3.0)(rng_) + 0.05,
                                             platform::secondsBetween(sim_.now(), end));
                sim_.advance(step);
                if (sim_.now() < end) act();
            }
            checkHour(hour, logBytes);
            logBytes = sim_.logText().size();
            if (::testing::Test::HasFatalFailure()) return;
        }
        checkSomethingHappened();
    }

private:
    // ---- The backend ----

    std::optional<sim::SimReply> reply(const platform::HttpRequest& r) {
        const double delay = std::uniform_real_distribution<double>(0.0, 10.0)(rng_);  // over 8 s: a timeout
        const int mode = pick(100);
        if (mode < 5) return std::nullopt;  // never answers
        if (mode < 12) return raw(0, std::nullopt, delay);
        if (mode < 20) return raw(200, "{\"not json", delay);
        if (mode < 24) return raw(200, "[1,2,3]", delay);
        if (mode < 28) return raw(200, "", delay);
        if (mode < 33) return sim::jsonReply(Json{{"error", "boom"}}, 500, delay);
        const std::string& url = r.url;
        auto endsWith = [&](const char* suffix) {
            const std::string s(suffix);
            return url.size() >= s.size() && url.compare(url.size() - s.size(), s.size(), s) == 0;
        };
        if (endsWith("/api/me")) return sim::jsonReply(Json::object(), 200, delay / 5);
        if (endsWith("/api/monitor")) return sim::jsonReply(judgment(), 200, delay);
        if (endsWith("/api/scan")) return sim::jsonReply(scan(), 200, delay);
        if (endsWith("/api/gating"))
            return sim::jsonReply(Json{{"urgent", pick(6) == 0}, {"gentle", pick(4) == 0}}, 200, delay);
        if (endsWith("/api/agent_prefs")) {
            if (pick(20) == 0) trackApps_ = !trackApps_;
            return sim::jsonReply(Json{{"track_app_usage", trackApps_}}, 200, delay);
        }
        return sim::jsonReply(Json::object(), 200, delay);
    }

    sim::SimReply raw(long status, std::optional<std::string> body, double delay) {
        platform::HttpResponse response;
        response.status = status;
        response.body = std::move(body);
        if (status == 0) response.error = "Could not connect to the server.";
        return {response, delay};
    }

    // Now and then a value far longer than any real one.
    std::string word(const char* usual) {
        if (pick(400) == 0) return std::string(50000 + pick(50000), 'w') + "\xC3\xA9";
        return usual;
    }

    Json judgment() {
        static const char* surfaces[] = {"urgent", "gentle", "none", "Urgent", ""};
        Json categories = Json::array();
        for (int i = pick(4); i > 0; --i) categories.push_back(word("self_harm"));
        Json reply = {{"l1", {{"tier3", pick(10) == 0}, {"level_name", word("elevated")}, {"categories", categories}}},
                      {"judgment", {{"surface", word(surfaces[pick(5)])}, {"risk_level", word("moderate")}}}};
        if (pick(10) == 0) reply.erase("l1");
        if (pick(10) == 0) reply["judgment"] = "not an object";
        return reply;
    }

    Json scan() {
        Json hits = Json::array();
        for (int i = pick(3); i > 0; --i) hits.push_back({{"tier", pick(2) ? "3" : "2"}, {"phrase", word("hopeless")}});
        if (pick(15) == 0) hits.push_back("not an object");
        return {{"level", pick(4)}, {"tier3", pick(5) == 0}, {"hits", hits}};
    }

    // ---- The user ----

    platform::RunningApplication app(int i) const {
        if (i == 0) return {"com.wellspire.agent", 4242, "Wellspire Agent"};
        return {"org.example.app" + std::to_string(i), 1000 + i, "App " + std::to_string(i)};
    }

    void act() {
        const int what = pick(100);
        if (what < 22) {
            type();
        } else if (what < 45) {
            for (int n = 1 + pick(40); n > 0; --n) {
                const int codes[] = {0, 0, 0, 51, 117, 0};
                const int code = codes[pick(6)];
                sim_.workspace().keyDown(code);
                keys_.add(sim_.now());
                if (code == 51 || code == 117) deletes_.add(sim_.now());
            }
        } else if (what < 55) {
            // Mostly a handful of applications, sometimes one never seen before, sometimes none.
            const int roll = pick(20);
            std::optional<platform::RunningApplication> next;
            if (roll == 0) next = std::nullopt;
            else if (roll == 1) next = app(100 + pick(100000));
            else next = app(pick(12));
            sim_.workspace().activate(next);
            switches_.add(sim_.now());
            if (next && next->localizedName) names_.emplace_back(sim_.now(), *next->localizedName);
        } else if (what < 63) {
            focusElsewhere();
        } else if (what < 71) {
            recognised();
        } else if (what < 76) {
            pressPanelButton();
        } else if (what < 80) {
            clickMenu();
        } else if (what < 83) {
            openPairingUrl();
        } else if (what < 85) {
            sim_.screen().permitted = pick(5) != 0;
        } else if (what < 86) {
            sim_.accessibility().trusted = pick(5) != 0;
        } else if (what < 87) {
            for (const auto& p : sim_.windowing().visiblePanels())
                if (pick(2)) p->hide();
        } else if (what < 89) {
            sim_.screen().content = pick(4) == 0 ? platform::ContentResult(platform::CaptureError{"listing failed"})
                                                 : platform::ContentResult(randomContent());
            sim_.screen().captureError =
                pick(6) == 0 ? std::optional<std::string>("The user declined TCCs") : std::nullopt;
        }
    }

    void type() {
        static const char* texts[] = {"I can't do this anymore", "what a lovely afternoon it is",
                                      "nobody would even notice if I was gone", "meeting moved to 3pm, ok?",
                                      "so tired of everything lately", "short"};
        std::string text = texts[pick(6)];
        if (pick(3) == 0) text += " " + std::to_string(pick(1000));
        if (pick(300) == 0) text = std::string(20000, 'x');
        sim_.accessibility().setFocusedText(text);
    }

    void focusElsewhere() {
        auto element = std::make_shared<sim::SimElement>();
        switch (pick(4)) {
            case 0: sim_.accessibility().focused.reset(); return;
            case 1: element->attributes["AXSelectedText"] = platform::AXValue{true, "a selected sentence here"}; break;
            case 2: element->attributes["AXValue"] = platform::AXValue{false, ""}; break;
            default: element->attributes["AXValue"] = platform::AXValue{true, " \n\t "}; break;
        }
        sim_.accessibility().focused = element;
    }

    void recognised() {
        std::vector<std::optional<std::string>> lines;
        for (int n = pick(6); n > 0; --n) {
            if (pick(8) == 0) lines.push_back(std::nullopt);
            else lines.push_back("line " + std::to_string(pick(50)) + " of what is on screen");
        }
        if (pick(50) == 0) lines = {std::string(9000, 'o')};
        if (pick(40) == 0) lines = {"Wellspire Energy Dial"};
        if (pick(30) == 0)
            sim_.recognizer().lines.reset();
        else
            sim_.recognizer().lines = lines;
    }

    platform::ShareableContent randomContent() {
        platform::ShareableContent content;
        for (int n = pick(4); n > 0; --n) {
            const int owner = pick(3) == 0 ? 4242 : 1000 + pick(12);
            content.windows.push_back({static_cast<std::uint64_t>(1 + pick(1000)), owner, pick(5) != 0,
                                       platform::Rect{0, 0, 150.0 + pick(2000), 150.0 + pick(1400)}});
        }
        if (pick(10) != 0) content.displays.push_back({1, 1440, 900});
        return content;
    }

    void pressPanelButton() {
        auto panels = sim_.windowing().visiblePanels();
        if (panels.empty()) return;
        auto panel = panels[static_cast<std::size_t>(pick(static_cast<int>(panels.size())))];
        const auto& buttons = panel->layout().buttons;
        if (buttons.empty()) return;
        const std::string title = buttons[static_cast<std::size_t>(pick(static_cast<int>(buttons.size())))].title;
        // Quiet periods stop most of the agent: a few a day, not one a minute.
        if (title.rfind("Ignore", 0) == 0 && pick(30) != 0) return;
        panel->press(title);
        ++presses_;
    }

    void clickMenu() {
        auto& status = sim_.windowing().statusItem;
        if (!status) return;
        std::vector<std::shared_ptr<sim::SimMenuItem>> active;
        for (const auto& m : status->menu())
            if (m->entry().action) active.push_back(m);
        if (active.empty()) return;
        const auto& item = active[static_cast<std::size_t>(pick(static_cast<int>(active.size())))];
        if (item->title().rfind("Ignore", 0) == 0 && pick(10) != 0) return;
        item->click();
        sim_.runReady();
    }

    void openPairingUrl() {
        static const char* bad[] = {"wellspire://pair?token=",
                                    "wellspire://PAIR?token=x",
                                    "wellspire://other?token=abc",
                                    "https://pair?token=abc",
                                    "wellspire://pair?tok=abc",
                                    "wellspire://pair?token=a%0Ab",
                                    "wellspire://pair?token=%FF%FE",
                                    "not a url at all",
                                    "wellspire://pair"};
        std::optional<std::string> url;
        const int roll = pick(12);
        if (roll < 3) url = "wellspire://pair?token=tok-" + std::to_string(pick(1000000));
        else if (roll == 3) url = std::nullopt;
        else if (roll == 4) url = "wellspire://pair?token=" + std::string(8000, 'k');
        else url = bad[pick(9)];
        const bool wasPaired = DeviceAuth::isPaired();
        sim_.urlEvents().open(url);
        sim_.runReady();
        if (!wasPaired && DeviceAuth::isPaired()) ++pairings_;
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    // ---- The checks ----

    void checkHour(int hour, std::size_t logBytesBefore) {
        SCOPED_TRACE("virtual hour " + std::to_string(hour));
        const TimePoint now = sim_.now();
        auto ago = [&](double seconds) { return platform::addSeconds(now, -seconds); };

        // Nothing the agent scheduled has been left unrun, and no timer was added after start-up.
        EXPECT_EQ(sim_.readyTasks(), 0u);
        EXPECT_EQ(sim_.worker().queued(), 0u);
        EXPECT_LE(sim_.timerCount(), 8u);
        EXPECT_LE(sim_.workspace().activationObservers(), 2u);
        EXPECT_LE(sim_.workspace().keyMonitors(), 1u);

        // Every request still open is younger than its own timeout.
        std::size_t open = 0;
        for (std::size_t i : sim_.http().pending()) {
            const auto& r = sim_.http().requests()[i];
            EXPECT_LE(platform::secondsBetween(r.sentAt, now), r.request.timeoutSeconds) << r.request.url;
            ++open;
        }
        EXPECT_LE(open, 40u);
        // An answer and a timeout at most for each request of the last timeout's length.
        std::size_t recent = 0;
        const auto& requests = sim_.http().requests();
        for (auto r = requests.rbegin(); r != requests.rend() && r->sentAt >= ago(Backend::kTimeoutSeconds); ++r)
            ++recent;
        EXPECT_LE(sim_.scheduledHttpEvents(), 2 * recent);

        // The check-in stack never holds more than its five.
        EXPECT_LE(Popup::shared().count(), Popup::maxStack);
        EXPECT_LE(sim_.windowing().visiblePanels().size(), Popup::maxStack);

        // Behavioural timestamps: only what falls in the window plus one report interval.
        const double held = Behavioral::windowSeconds + Behavioral::reportSeconds + 1;
        const auto& behavioral = *delegate_->behavioral();
        EXPECT_LE(behavioral.keysHeld(), keys_.since(ago(held)));
        EXPECT_LE(behavioral.deletesHeld(), deletes_.since(ago(held)));
        EXPECT_LE(behavioral.switchesHeld(), switches_.since(ago(held)));
        keys_.forgetBefore(ago(2 * held));
        deletes_.forgetBefore(ago(2 * held));
        switches_.forgetBefore(ago(2 * held));

        // App usage: only the applications in front since the last report, and nothing while off.
        const auto& usage = *delegate_->appUsage();
        std::erase_if(names_, [&](const auto& n) { return n.first < ago(2 * AppUsageTracker::reportSeconds); });
        std::set<std::string> inFront;
        for (const auto& [t, name] : names_)
            if (t >= ago(AppUsageTracker::reportSeconds + 1)) inFront.insert(name);
        EXPECT_LE(usage.totals().size(), inFront.size() + 1);
        if (!usage.isEnabled()) {
            EXPECT_TRUE(usage.totals().empty());
        }

        // Texts held by the sources stay the size of what they read.
        EXPECT_LE(Text::length(delegate_->screenReader()->lastHandledText()), ScreenReader::longestText);
        EXPECT_LE(delegate_->monitor()->pendingText().size(), 20000u);
        EXPECT_LE(Snooze::until(), platform::addSeconds(now, 2 * 3600));

        // The log grows by lines of bounded length at a bounded rate.
        const std::string& log = sim_.logText();
        ASSERT_GE(log.size(), logBytesBefore);
        EXPECT_LE(log.size() - logBytesBefore, kMaxLogBytesPerHour);
        std::size_t lines = 0, longest = 0;
        for (std::size_t start = logBytesBefore; start < log.size();) {
            std::size_t nl = log.find('\n', start);
            if (nl == std::string::npos) nl = log.size();
            longest = std::max(longest, nl - start);
            ++lines;
            start = nl + 1;
        }
        EXPECT_LE(lines, kMaxLogLinesPerHour);
        EXPECT_LE(longest, kMaxLogLineBytes);
        hourlyLines_.push_back(lines);
    }

    void checkSomethingHappened() {
        auto& http = sim_.http();
        const std::string log = sim_.logText();
        auto occurrences = [&](const std::string& what) {
            std::size_t n = 0;
            for (std::size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
            return n;
        };
        // The run must have gone through every road, or the checks above proved little.
        EXPECT_GT(http.count("/api/monitor"), 1000u);
        EXPECT_GT(http.count("/api/scan"), 1000u);
        EXPECT_GT(http.count("/api/gating"), 10000u);
        EXPECT_GT(http.count("/api/behavioral/log"), 1000u);
        EXPECT_GT(http.count("/api/app_usage/log"), 10u);
        EXPECT_GT(occurrences("POPUP shown crisis=true"), 100u);
        EXPECT_GT(occurrences("POPUP shown crisis=false"), 100u);
        EXPECT_GT(occurrences("PAIR CALLBACK rejected"), 50u);
        EXPECT_GT(occurrences("SNOOZE until"), 50u);
        EXPECT_GT(occurrences("OCR capture FAILED"), 100u);
        EXPECT_GT(pairings_, 10);
        EXPECT_GT(presses_, 1000);
        EXPECT_TRUE(delegate_->monitoringStarted());
        std::cout << "[ soak ] " << kHours << " virtual hours, " << http.requests().size() << " requests, "
                  << log.size() << " log bytes, most log lines in an hour "
                  << *std::max_element(hourlyLines_.begin(), hourlyLines_.end()) << "\n";
    }

    sim::SimPlatform sim_;
    std::mt19937 rng_;
    std::shared_ptr<AppDelegate> delegate_;
    bool trackApps_ = true;
    EventTimes keys_, deletes_, switches_;
    std::vector<std::pair<TimePoint, std::string>> names_;
    std::vector<std::size_t> hourlyLines_;
    int pairings_ = 0;
    int presses_ = 0;
};

TEST(SoakTest, SeventyTwoVirtualHoursKeepEveryWindowBounded) {
    const auto started = std::chrono::steady_clock::now();
    Soak().run();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::cout << "[ soak ] real time " << took.count() << " s\n";
}

}  // namespace
