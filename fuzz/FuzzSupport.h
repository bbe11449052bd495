#pragma once
// Shared pieces of the fuzz targets: a fresh simulated desktop per input, an input cut into
// backend replies, and a check that aborts (libFuzzer reports it as a crash).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/Backend.h"
#include "backend/Config.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "platform/Http.h"
#include "sim/SimPlatform.h"

namespace fuzz {

inline constexpr const char* kBase = "https://backend.test";
inline constexpr const char* kPrimary = "https://primary.wellspire.test";
inline constexpr const char* kFallback = "https://fallback.wellspire.test";
// More replies per input only repeat the same paths more slowly.
inline constexpr std::size_t kMaxReplies = 24;

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz property violated: %s\n", what);
    if (!detail.empty()) std::fprintf(stderr, "  detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) fail(what, detail);
}

// Every process-wide value the logic keeps, back at its start, and a new simulated platform
// installed (its constructor does that). The popup stack refers to the sim's panels, so it is
// emptied before the sim goes.
struct World {
    struct Reset {
        Reset() {
            Config::resetForTesting(kPrimary, kFallback);
            Popup::shared().resetForTesting();
            Snooze::setUntil(platform::Clock::distantPast());
        }
    } reset;
    sim::SimPlatform sim;

    World() = default;
    ~World() { Popup::shared().resetForTesting(); }
    World(const World&) = delete;
    World& operator=(const World&) = delete;
};

inline std::string_view bytes(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// One reply per line, at most kMaxReplies.
inline std::vector<std::string_view> lines(std::string_view input) {
    std::vector<std::string_view> out;
    while (out.size() < kMaxReplies) {
        const std::size_t nl = input.find('\n');
        out.push_back(input.substr(0, nl));
        if (nl == std::string_view::npos) break;
        input.remove_prefix(nl + 1);
    }
    return out;
}

// An empty line is a transport failure; any other line is a 200 reply with that body, which
// the client decodes (or finds to be no JSON object).
inline platform::HttpResponse response(std::string_view line) {
    platform::HttpResponse r;
    if (line.empty()) {
        r.error = "Could not connect to the server.";
        return r;
    }
    r.status = 200;
    r.body = std::string(line);
    return r;
}

// The line as a handler argument: any JSON value, or nothing when it does not parse or is
// nested deeper than the client lets a reply be (the checks copy parts of it).
inline std::optional<nlohmann::json> parsed(std::string_view line) {
    bool tooDeep = false;
    nlohmann::json j = nlohmann::json::parse(
        line.begin(), line.end(),
        [&tooDeep](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth > Backend::kMaxReplyDepth) tooDeep = true;
            return !tooDeep;
        },
        false);
    if (tooDeep || j.is_discarded()) return std::nullopt;
    return j;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. Written out here so
// that the checks do not lean on the code they check.
inline bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i - 1 < n) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        i += n + 1;
    }
    return true;
}

// Properties that hold after any sequence of replies: the stack never outgrows its limit and
// every request body the agent sent is a JSON object.
inline void checkAgentInvariants(sim::SimPlatform& sim) {
    check(Popup::shared().count() <= Popup::maxStack, "more check-in panels than the stack allows");
    check(sim.windowing().visiblePanels().size() <= Popup::maxStack, "more visible panels than the stack allows");
    for (const auto& r : sim.http().requests()) {
        if (r.request.method != "POST") continue;
        check(validUtf8(r.request.body), "a request body that is not UTF-8", r.request.body);
        check(r.bodyJson().is_object(), "a request body that is not a JSON object", r.request.body);
    }
}

}  // namespace fuzz
