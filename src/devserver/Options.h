#pragma once

#include <optional>
#include <string>
#include <variant>

namespace devserver {

// The command line of wellspire-devserver.
struct Options {
    int port = 5055;
    std::string dbPath;       // empty: the default in the user's data folder
    std::string phrasesPath;  // empty: the list beside the sources, else the built-in copy
    bool help = false;

    static constexpr const char* usage =
        "usage: wellspire-devserver [--port N] [--db PATH] [--phrases PATH]\n"
        "  --port N        port on 127.0.0.1 (default 5055)\n"
        "  --db PATH       SQLite database (default $XDG_DATA_HOME/wellspire-devserver/devserver.sqlite3)\n"
        "  --phrases PATH  phrase list, a JSON array of {\"phrase\", \"tier\", \"category\"}\n";

    // Options, or the message that explains what is wrong.
    static std::variant<Options, std::string> parse(int argc, const char* const* argv);
};

}  // namespace devserver
