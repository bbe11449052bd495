#pragma once
#include <string>

namespace linuxplatform {

// The agent's settings file holds what it may not show others (the screen-cast restore token): it
// is the owner's alone. Creates `path` empty and owner-only when missing (its folder too, owner-only),
// and takes group and others' access away from one that is there. A link is never followed. False
// when the file could not be made so.
bool makeOwnerOnly(const std::string& path);

}  // namespace linuxplatform
