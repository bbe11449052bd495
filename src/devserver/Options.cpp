#include "devserver/Options.h"

#include <charconv>

namespace devserver {

std::variant<Options, std::string> Options::parse(int argc, const char* const* argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name != "--port" && name != "--db" && name != "--phrases") return "unknown option " + arg;
        if (!value) {
            if (i + 1 >= argc) return name + " needs a value";
            value = argv[++i];
        }
        if (name == "--port") {
            int port = 0;
            const char* first = value->data();
            const char* last = first + value->size();
            const auto [end, ec] = std::from_chars(first, last, port);
            if (ec != std::errc() || end != last || port < 1 || port > 65535)
                return "--port needs a number from 1 to 65535, not \"" + *value + "\"";
            options.port = port;
        } else if (value->empty()) {
            return name + " needs a non-empty path";
        } else if (name == "--db") {
            options.dbPath = *value;
        } else {
            options.phrasesPath = *value;
        }
    }
    return options;
}

}  // namespace devserver
