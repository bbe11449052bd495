#include "platform/Platform.h"

namespace platform {
namespace {
Services& slot() {
    static Services services;
    return services;
}
}  // namespace

void install(Services services) { slot() = std::move(services); }
const Services& get() { return slot(); }

}  // namespace platform
