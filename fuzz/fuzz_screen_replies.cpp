// The two-step screen judgment answered with arbitrary bodies: input lines alternate between
// the scan reply (POST /api/scan) and, when the scan asks for one, the confirmation reply
// (POST /api/monitor). Steps are 6 s apart, so the 15 s quiet window and the 40 s phrase
// repeat window both open and close. JSON that is no object also goes to the handlers directly.
#include "FuzzSupport.h"
#include "signals/ScreenReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto replies = fuzz::lines(fuzz::bytes(data, size));
    {
        fuzz::World world;
        auto& sim = world.sim;
        // Screen text is read, and so sent, only while the screen may be read.
        sim.screen().permitted = true;
        Config::setBackend(fuzz::kBase);
        auto reader = ScreenReader::create();
        std::size_t next = 0;
        for (int step = 0; next < replies.size(); ++step) {
            const std::string text = "the text on the screen, view " + std::to_string(step);
            sim.runOn(sim::Queue::Worker, [&] { reader->handle(text); });
            fuzz::check(sim.http().count("/api/scan") == static_cast<std::size_t>(step) + 1,
                        "a new screen text was not scanned exactly once");
            const std::size_t confirms = sim.http().count("/api/monitor");
            const std::size_t panels = sim.windowing().panels.size();
            const std::string_view scan = replies[next++];
            sim.http().answer(*sim.http().last("/api/scan"), fuzz::response(scan));
            sim.runReady();
            const auto scanned = fuzz::parsed(scan);
            if (sim.windowing().panels.size() != panels || sim.http().count("/api/monitor") != confirms)
                fuzz::check(scanned && scanned->is_object() && scanned->contains("level"),
                            "a scan reply without a level led somewhere", scan);
            if (sim.http().count("/api/monitor") != confirms) {
                fuzz::check(sim.http().count("/api/monitor") == confirms + 1, "more than one confirmation request");
                const auto i = *sim.http().last("/api/monitor");
                fuzz::check(sim.http().requests()[i].bodyJson() == nlohmann::json{{"text", text}},
                            "the confirmation does not carry the scanned text", sim.http().requests()[i].request.body);
                if (next < replies.size()) sim.http().answer(i, fuzz::response(replies[next++]));
                sim.runReady();
            }
            fuzz::checkAgentInvariants(sim);
            sim.advance(6.0);
        }
    }
    {
        fuzz::World world;
        auto& sim = world.sim;
        auto reader = ScreenReader::create();
        for (auto line : replies) {
            const auto reply = fuzz::parsed(line);
            if (!reply || reply->is_object()) continue;
            sim.runOn(sim::Queue::Callback, [&] {
                reader->handleScanReply(reply, "the text on the screen");
                reader->handleConfirmReply(reply, "a phrase");
            });
            sim.advance(1.0);
            fuzz::check(sim.windowing().panels.empty() && sim.http().requests().empty(),
                        "a reply that is no object led somewhere", line);
        }
    }
    return 0;
}
