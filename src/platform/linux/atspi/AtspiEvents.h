#pragma once
// The AT-SPI events this process listens to, shared by everyone on the AT-SPI thread. The registry
// keeps a listener's registrations by its bus name and event type, and every user of libatspi in
// the process talks through the same connection: one user deregistering a type would silence it
// for all. Here each type is registered once, for as long as anyone still wants it.
#include <atspi/atspi.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace linuxplatform {

namespace AtspiEvents {

// The event is only lent for the call.
using Handler = std::function<void(const AtspiEvent& event)>;

// On the AT-SPI thread. `types` as libatspi names them ("window:activate", "object:text-changed");
// an event reaches every subscriber of a type it begins with. Returns the subscription's id.
std::uint64_t subscribe(const std::vector<std::string>& types, Handler handler);
// On the AT-SPI thread. A type no one else wants is deregistered before this returns; the handler
// is not called again, even for an event being delivered now.
void unsubscribe(std::uint64_t id);
// The types registered with the registry now.
std::vector<std::string> registered();

}  // namespace AtspiEvents

}  // namespace linuxplatform
