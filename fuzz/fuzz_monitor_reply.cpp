// The focused-field judgment (POST /api/monitor) answered with arbitrary bodies: one reply per
// input line, each to a newly settled text, so the debounce and the crisis cooldown both come
// into play. Any line that is JSON but no object also goes to the handler directly.
#include "FuzzSupport.h"
#include "backend/JsonRead.h"
#include "signals/Monitor.h"

namespace {

// A check-in may only follow a reply that asks for one.
bool asksForCheckIn(std::string_view line) {
    const auto reply = fuzz::parsed(line);
    if (!reply || !reply->is_object()) return false;
    const auto surface = JsonRead::string(JsonRead::objectOrEmpty(*reply, "judgment"), "surface");
    return surface == std::optional<std::string>("urgent") || surface == std::optional<std::string>("gentle") ||
           JsonRead::boolean(JsonRead::objectOrEmpty(*reply, "l1"), "tier3") == true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto replies = fuzz::lines(fuzz::bytes(data, size));
    {
        fuzz::World world;
        auto& sim = world.sim;
        Config::setBackend(fuzz::kBase);
        sim.accessibility().trusted = true;
        auto monitor = Monitor::create();
        monitor->start();
        for (std::size_t i = 0; i < replies.size(); ++i) {
            sim.accessibility().setFocusedText("what I am writing right now, take " + std::to_string(i));
            sim.advance(3.0);  // two ticks: seen, then settled and sent
            fuzz::check(sim.http().count("/api/monitor") == i + 1, "a settled text was not sent exactly once");
            const std::size_t panels = sim.windowing().panels.size();
            sim.http().answer(*sim.http().last("/api/monitor"), fuzz::response(replies[i]));
            sim.runReady();
            if (sim.windowing().panels.size() != panels)
                fuzz::check(asksForCheckIn(replies[i]), "a check-in after a reply that asked for none", replies[i]);
            fuzz::checkAgentInvariants(sim);
        }
    }
    {
        fuzz::World world;
        auto& sim = world.sim;
        auto monitor = Monitor::create();
        for (auto line : replies) {
            const auto reply = fuzz::parsed(line);
            if (!reply || reply->is_object()) continue;
            sim.runOn(sim::Queue::Callback, [&] { monitor->handleJudgment(reply); });
            sim.advance(1.0);
            fuzz::check(sim.windowing().panels.empty(), "a check-in after a reply that is no object", line);
        }
    }
    return 0;
}
