// The launched agent's two polls answered with arbitrary bodies: every input line answers one
// pattern-gating poll (GET /api/gating, every 8 s) and one preferences request
// (GET /api/agent_prefs). Between polls another application comes to the front, so enabled
// tracking has spans to report.
#include "FuzzSupport.h"
#include "app/AppDelegate.h"
#include "backend/JsonRead.h"
#include "signals/AppUsageTracker.h"

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What the dashboard asked for: tracking only on a JSON true.
bool tracksUsage(std::string_view line) {
    // A boolean read from a reply: true and false, and the numbers 1 and 0.
    const auto reply = fuzz::parsed(line);
    return reply && reply->is_object() && JsonRead::boolean(*reply, "track_app_usage") == true;
}

bool raisesAFlag(std::string_view line) {
    const auto reply = fuzz::parsed(line);
    return reply && reply->is_object() &&
           (JsonRead::boolean(*reply, "urgent") == true || JsonRead::boolean(*reply, "gentle") == true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto replies = fuzz::lines(fuzz::bytes(data, size));
    fuzz::World world;
    auto& sim = world.sim;
    // Only the hosted service answers the probe, so the backend is the hosted one.
    sim.http().setResponder([](const platform::HttpRequest& r) -> std::optional<sim::SimReply> {
        if (r.url == std::string(fuzz::kPrimary) + "/api/me") return sim::jsonReply(nlohmann::json::object(), 200, 0.02);
        return std::nullopt;
    });
    auto delegate = AppDelegate::create();
    delegate->applicationDidFinishLaunching();
    sim.runReady();
    fuzz::check(Config::backend() == fuzz::kPrimary, "the launch did not settle on the hosted service");

    auto answerPending = [&](const std::string& suffix, std::string_view line) {
        for (auto i : sim.http().pending())
            if (endsWith(sim.http().requests()[i].request.url, suffix)) sim.http().answer(i, fuzz::response(line));
        sim.runReady();
    };
    for (std::size_t i = 0; i < replies.size(); ++i) {
        sim.advance(8.0);  // the poll goes out
        delegate->appUsage()->refreshEnabled();
        const std::size_t panels = sim.windowing().panels.size();
        answerPending("/api/gating", replies[i]);
        if (sim.windowing().panels.size() != panels)
            fuzz::check(raisesAFlag(replies[i]), "a check-in after a gating reply without a flag", replies[i]);

        answerPending("/api/agent_prefs", replies[i]);
        fuzz::check(delegate->appUsage()->isEnabled() == tracksUsage(replies[i]),
                    "tracking does not follow the preference", replies[i]);
        if (!delegate->appUsage()->isEnabled())
            fuzz::check(delegate->appUsage()->totals().empty(), "usage kept while tracking is off");

        const bool editor = i % 2 == 0;
        sim.workspace().activate(
            platform::RunningApplication{editor ? "org.example.editor" : "org.example.chat", editor ? 50 : 51,
                                         editor ? "Editor" : "Chat"});
        fuzz::checkAgentInvariants(sim);
    }
    return 0;
}
