// The override file (~/.config/Wellspire/backend.txt) holding arbitrary bytes. Whatever becomes
// the backend is plain http to 127.0.0.1 or localhost, or https to one of the two hosted
// hosts, each with at most a numeric port before any path, query or fragment; anything else
// leaves resolution to go on as if there were no file.
#include "FuzzSupport.h"

namespace {

bool allowedShape(std::string_view url) {
    const std::string primaryHost = std::string(fuzz::kPrimary).substr(8);
    const std::string fallbackHost = std::string(fuzz::kFallback).substr(8);
    for (const std::string& head : {std::string("http://127.0.0.1"), std::string("http://localhost"),
                                    "https://" + primaryHost, "https://" + fallbackHost}) {
        if (url.substr(0, head.size()) != head) continue;
        std::string_view rest = url.substr(head.size());
        if (!rest.empty() && rest.front() == ':') {
            rest.remove_prefix(1);
            while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') rest.remove_prefix(1);
        }
        if (rest.empty() || rest.front() == '/' || rest.front() == '?' || rest.front() == '#') return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz::bytes(data, size));
    fuzz::World world;
    auto& sim = world.sim;
    if (isAllowedBackendOverride(text))
        fuzz::check(allowedShape(text), "an override outside the allowed ones was accepted", text);

    // Nothing answers, so without the file the backend is the primary hosted service.
    sim.files().files[Config::overrideFilePath()] = text;
    resolveBackend();
    const auto log = sim.logLines();
    fuzz::check(log.size() == 1, "resolution did not write exactly one line");
    const std::string fromFile = "backend from config file: ";
    if (log[0].rfind(fromFile, 0) == 0) {
        const std::string chosen = Config::backend();
        fuzz::check(log[0] == fromFile + chosen, "the logged override is not the one in use", log[0]);
        fuzz::check(allowedShape(chosen), "an override outside the allowed ones became the backend", chosen);
        fuzz::check(fuzz::validUtf8(text) && text.find(chosen) != std::string::npos,
                    "the backend is not a part of the file", chosen);
    } else {
        fuzz::check(Config::backend() == fuzz::kPrimary, "a refused override changed the backend", text);
    }
    return 0;
}
