// A wellspire: link handed to the running agent, as arbitrary bytes, once to an unpaired agent
// and once to one that holds an earlier token. A rejected link leaves the secret store as it
// was; an accepted one stores a non-empty UTF-8 token without CR, LF or NUL, and the log never
// shows it.
#include <algorithm>

#include "FuzzSupport.h"
#include "app/AppDelegate.h"
#include "pairing/DeviceAuth.h"

namespace {

using Items = std::map<std::pair<std::string, std::string>, std::string>;
const std::pair<std::string, std::string> kItem{DeviceAuth::kTokenService, DeviceAuth::kTokenAccount};

std::size_t occurrences(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

void checkStoredToken(const Items& items, const std::string& url) {
    const auto it = items.find(kItem);
    fuzz::check(it != items.end(), "an accepted link stored no token", url);
    const std::string& token = it->second;
    fuzz::check(!token.empty(), "an empty token was stored", url);
    fuzz::check(fuzz::validUtf8(token), "a token that is not UTF-8 was stored", url);
    fuzz::check(token.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                "a token with CR, LF or NUL was stored", url);
}

// The logged link must not show the token. Checked where the token is written out plainly and
// only once in the link, so that its one occurrence is the value that must have been redacted.
void checkLogHidesToken(const std::vector<std::string>& log, const std::string& url, const std::string& token) {
    if (url.find('%') != std::string::npos || occurrences(url, token) != 1) return;
    const std::string prefix = "PAIR CALLBACK received: ";
    for (const auto& line : log) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::string logged = line.substr(prefix.size());
        for (std::size_t at; (at = logged.find("<redacted>")) != std::string::npos;) logged.erase(at, 10);
        fuzz::check(logged.find(token) == std::string::npos, "the token reached the log", line);
    }
}

void throughTheAgent(const std::string& url, bool pairedBefore) {
    fuzz::World world;
    auto& sim = world.sim;
    sim.http().setResponder([](const platform::HttpRequest& r) -> std::optional<sim::SimReply> {
        if (r.url == std::string(fuzz::kPrimary) + "/api/me") return sim::jsonReply(nlohmann::json::object(), 200, 0.02);
        return std::nullopt;
    });
    if (pairedBefore) sim.secrets().items[kItem] = "an-earlier-token";
    auto delegate = AppDelegate::create();
    delegate->applicationDidFinishLaunching();
    sim.runReady();

    const Items before = sim.secrets().items;
    const std::size_t logBefore = sim.logLines().size();
    sim.urlEvents().open(url);
    sim.runReady();
    const auto log = sim.logLines();
    const std::vector<std::string> added(log.begin() + static_cast<std::ptrdiff_t>(logBefore), log.end());
    const bool received = !added.empty() && added.front().rfind("PAIR CALLBACK received: ", 0) == 0;
    const bool rejected = std::find(added.begin(), added.end(),
                                    "PAIR CALLBACK rejected (bad scheme/host or missing token)") != added.end();
    if (!received || rejected) {
        fuzz::check(sim.secrets().items == before, "a rejected link changed the secret store", url);
        fuzz::check(!sim.windowing().panelTitled("Connected"), "a rejected link confirmed a connection", url);
        return;
    }
    checkStoredToken(sim.secrets().items, url);
    fuzz::check(DeviceAuth::isPaired(), "an accepted link left the agent unpaired", url);
    fuzz::check(Config::backend() == fuzz::kPrimary, "an accepted link did not move to the hosted service", url);
    fuzz::check(static_cast<bool>(sim.windowing().panelTitled("Connected")), "an accepted link confirmed nothing", url);
    fuzz::check(static_cast<bool>(sim.windowing().statusItem->item("Disconnect account")),
                "an accepted link left the menu offering to connect", url);
    checkLogHidesToken(log, url, sim.secrets().items.at(kItem));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url(fuzz::bytes(data, size));
    {
        fuzz::World world;
        const bool accepted = DeviceAuth::completePairing(url);
        if (accepted)
            checkStoredToken(world.sim.secrets().items, url);
        else
            fuzz::check(world.sim.secrets().items.empty(), "a rejected link stored something", url);
    }
    throughTheAgent(url, false);
    throughTheAgent(url, true);
    return 0;
}
