// Recognised screen text as arbitrary bytes: once through a whole capture cycle (one
// recognised line per input line, an empty line read as nothing) and once handed over
// directly. Whatever is posted to /api/scan is a UTF-8 JSON object whose only member is the
// trimmed text, between the shortest and the longest text handled.
#include "FuzzSupport.h"
#include "backend/Text.h"
#include "signals/ScreenReader.h"

namespace {

bool asciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void checkScans(sim::SimPlatform& sim) {
    for (const auto& r : sim.http().requests()) {
        const std::string& body = r.request.body;
        fuzz::check(fuzz::validUtf8(body), "a scan body that is not UTF-8", body);
        const auto json = nlohmann::json::parse(body, nullptr, false);
        fuzz::check(json.is_object() && json.size() == 1 && json.contains("text") && json["text"].is_string(),
                    "a scan body that is not {\"text\": string}", body);
        const std::string text = json["text"].get<std::string>();
        fuzz::check(fuzz::validUtf8(text), "a scanned text that is not UTF-8", body);
        const std::size_t length = Text::length(text);
        fuzz::check(length <= ScreenReader::longestText, "a scanned text longer than the longest handled", body);
        fuzz::check(length >= ScreenReader::shortestText, "a scanned text shorter than the shortest handled", body);
        fuzz::check(!asciiSpace(text.front()), "a scanned text that starts with white space", body);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::bytes(data, size);
    fuzz::World world;
    auto& sim = world.sim;
    Config::setBackend(fuzz::kBase);
    sim.screen().permitted = true;
    sim.workspace().frontmost = platform::RunningApplication{"org.example.editor", 50, "Editor"};
    sim.screen().content = platform::ShareableContent{{{5, 50, true, platform::Rect{0, 0, 1000, 800}}}, {{1, 1440, 900}}};

    std::vector<std::optional<std::string>> lines;
    for (std::size_t start = 0;;) {
        const std::size_t nl = input.find('\n', start);
        const std::string_view line = input.substr(start, nl == std::string_view::npos ? nl : nl - start);
        lines.push_back(line.empty() ? std::nullopt : std::optional<std::string>(line));
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    sim.recognizer().lines = lines;
    auto reader = ScreenReader::create();
    reader->start();
    sim.advance(ScreenReader::tickSeconds);
    fuzz::check(sim.recognizer().calls == 1, "the capture cycle did not run");
    fuzz::check(!reader->isBusy(), "the capture cycle did not end");

    const std::string before = reader->lastHandledText();
    const std::size_t scans = sim.http().requests().size();
    sim.runOn(sim::Queue::Worker, [&] { reader->handle(std::string(input)); });
    // A text taken as the new screen is sent unless it is the agent's own dashboard.
    if (reader->lastHandledText() != before && !ScreenReader::isOwnDashboard(reader->lastHandledText()))
        fuzz::check(sim.http().requests().size() == scans + 1, "a new screen text was not sent", input);
    fuzz::check(sim.http().requests().size() <= 2, "more scans than screens");
    checkScans(sim);
    return 0;
}
