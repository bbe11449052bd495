#pragma once

#include <string>

namespace devserver::DataDir {

// ${XDG_DATA_HOME:-$HOME/.local/share}/wellspire-devserver (a relative XDG_DATA_HOME is ignored).
std::string folder();

// Creates `path` and any missing parents; the last one is left readable by the owner only.
// Throws std::runtime_error when it cannot.
void ensurePrivateFolder(const std::string& path);

// folder()/devserver.sqlite3, after making sure the folder exists.
std::string defaultDatabasePath();

}  // namespace devserver::DataDir
