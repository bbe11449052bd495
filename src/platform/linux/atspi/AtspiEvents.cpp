#include "platform/linux/atspi/AtspiEvents.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace linuxplatform::AtspiEvents {

namespace {

struct Subscription {
    std::vector<std::string> types;
    std::shared_ptr<Handler> handler;
};

// Touched on the AT-SPI thread only; the mutex is for `registered()`, which tests ask from others.
struct Hub {
    std::mutex mutex;
    AtspiEventListener* listener = nullptr;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, Subscription> subscriptions;
    std::map<std::string, int> wanted;  // type -> subscriptions that want it
};

Hub& hub() {
    static Hub* instance = new Hub;  // lives as long as the process: events may arrive at exit
    return *instance;
}

bool beginsWith(const char* type, const std::string& prefix) {
    return type && std::string_view(type).substr(0, prefix.size()) == prefix;
}

void onEvent(AtspiEvent* event, void*) {
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Handler>>> targets;
    {
        std::lock_guard lock(hub().mutex);
        for (const auto& [id, s] : hub().subscriptions)
            for (const auto& type : s.types)
                if (beginsWith(event->type, type)) {
                    targets.emplace_back(id, s.handler);
                    break;
                }
    }
    for (const auto& [id, handler] : targets) {
        {
            // A handler may end another subscription (or its own) while this event is delivered.
            std::lock_guard lock(hub().mutex);
            if (!hub().subscriptions.count(id)) continue;
        }
        (*handler)(*event);
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

}  // namespace

std::uint64_t subscribe(const std::vector<std::string>& types, Handler handler) {
    Hub& h = hub();
    std::vector<std::string> added;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(h.mutex);
        if (!h.listener) h.listener = atspi_event_listener_new(onEvent, nullptr, nullptr);
        id = h.nextId++;
        h.subscriptions[id] = Subscription{types, std::make_shared<Handler>(std::move(handler))};
        for (const auto& type : types)
            if (h.wanted[type]++ == 0) added.push_back(type);
    }
    // Outside the lock: registering waits on the registry, and events may be delivered meanwhile.
    for (const auto& type : added) {
        GError* error = nullptr;
        if (!atspi_event_listener_register(h.listener, type.c_str(), &error)) g_clear_error(&error);
    }
    return id;
}

void unsubscribe(std::uint64_t id) {
    Hub& h = hub();
    std::vector<std::string> removed;
    {
        std::lock_guard lock(h.mutex);
        const auto it = h.subscriptions.find(id);
        if (it == h.subscriptions.end()) return;
        for (const auto& type : it->second.types)
            if (--h.wanted[type] == 0) {
                h.wanted.erase(type);
                removed.push_back(type);
            }
        h.subscriptions.erase(it);
    }
    for (const auto& type : removed) {
        GError* error = nullptr;
        if (!atspi_event_listener_deregister(h.listener, type.c_str(), &error)) g_clear_error(&error);
    }
}

std::vector<std::string> registered() {
    std::lock_guard lock(hub().mutex);
    std::vector<std::string> types;
    for (const auto& [type, count] : hub().wanted) types.push_back(type);
    return types;
}

}  // namespace linuxplatform::AtspiEvents
