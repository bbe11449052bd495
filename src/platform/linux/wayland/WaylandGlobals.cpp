#include "platform/linux/wayland/WaylandGlobals.h"

#include <wayland-client.h>

namespace linuxplatform {
namespace {

void onGlobal(void* data, wl_registry*, uint32_t, const char* interfaceName, uint32_t) {
    static_cast<std::set<std::string>*>(data)->insert(interfaceName);
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kListener{onGlobal, onGlobalRemove};

}  // namespace

WaylandGlobals WaylandGlobals::query() {
    WaylandGlobals globals;
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return globals;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kListener, &globals.names_);
    if (wl_display_roundtrip(display) < 0) globals.names_.clear();
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return globals;
}

}  // namespace linuxplatform
