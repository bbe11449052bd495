#include "platform/linux/AtspiAccessibility.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include "platform/linux/GMainThread.h"

namespace linuxplatform {

namespace {

constexpr const char* kFocusEvent = "object:state-changed:focused";
// How far the start-up search for the focused element may go.
constexpr int kWalkMaxNodes = 4000;
constexpr int kWalkMaxDepth = 32;
constexpr auto kWalkBudget = std::chrono::seconds(2);

// libatspi keeps process-wide state; only one tracker thread may use it at a time.
std::atomic<bool> trackerRunning{false};

struct Reading {
    std::optional<std::string> value;
    std::optional<std::string> selectedText;
};

class AtspiElement final : public platform::AXElement {
public:
    explicit AtspiElement(Reading reading) : reading_(std::move(reading)) {}
    std::optional<platform::AXValue> attribute(const std::string& name) override {
        const std::optional<std::string>* text = nullptr;
        if (name == "AXValue") text = &reading_.value;
        else if (name == "AXSelectedText") text = &reading_.selectedText;
        if (!text || !*text) return std::nullopt;
        return platform::AXValue{true, **text};
    }

private:
    Reading reading_;
};

std::string validUtf8(const gchar* text) {
    if (!text) return {};
    if (g_utf8_validate(text, -1, nullptr)) return text;
    gchar* fixed = g_utf8_make_valid(text, -1);
    std::string out = fixed;
    g_free(fixed);
    return out;
}

// The characters [start, end) of a UTF-8 text, clamped to it.
std::string characters(const std::string& text, int start, int end) {
    const glong length = g_utf8_strlen(text.c_str(), static_cast<gssize>(text.size()));
    const glong from = std::clamp<glong>(start, 0, length), to = std::clamp<glong>(end, 0, length);
    if (to <= from) return {};
    const gchar* a = g_utf8_offset_to_pointer(text.c_str(), from);
    const gchar* b = g_utf8_offset_to_pointer(text.c_str(), to);
    return std::string(a, static_cast<std::size_t>(b - a));
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    AtspiStateSet* states = atspi_accessible_get_state_set(object);
    if (!states) return false;
    const bool has = atspi_state_set_contains(states, state);
    g_object_unref(states);
    return has;
}

}  // namespace

struct AtspiAccessibility::Impl {
    // The last reading of the focused element, handed to callers without waiting for the AT-SPI thread.
    struct Snapshot {
        std::mutex mutex;
        bool read = false;  // false until the first reading, and after a failed one
        Reading reading;
    };

    // Touched only on the AT-SPI thread.
    struct Tracker {
        bool available = false;
        AtspiEventListener* listener = nullptr;
        AtspiAccessible* focused = nullptr;
        std::shared_ptr<Snapshot> snapshot = std::make_shared<Snapshot>();
        // Readings are taken just before the caller is expected back, from the pace of its requests.
        std::chrono::steady_clock::time_point lastRequest{};
        GSource* prefetch = nullptr;

        void setFocused(AtspiAccessible* object) {
            if (object) g_object_ref(object);
            if (focused) g_object_unref(focused);
            focused = object;
        }
    };

    std::shared_ptr<Tracker> tracker = std::make_shared<Tracker>();
    std::unique_ptr<GMainThread> thread;
    bool ownsLibrary = false;

    std::mutex busMutex;
    GDBusConnection* session = nullptr;

    // Whether the accessibility bus is on, as last heard: -1 before the first answer. Callers get
    // it at once; each question also asks the bus again, off their thread, and the bus tells of
    // changes itself.
    std::atomic<int> trusted{-1};
    std::atomic<bool> trustAsked{false};
    guint trustSubscription = 0;

    bool cachedTrust(GMainThread& on) {
        const int known = trusted.load();
        if (known < 0) {
            const bool enabled = isEnabled().value_or(false);
            trusted.store(enabled ? 1 : 0);
            on.post([this] { subscribeToTrust(); });
            return enabled;
        }
        if (!trustAsked.exchange(true)) on.post([this] { askTrust(); });
        return known == 1;
    }

    // On the AT-SPI thread, so the replies and signals arrive there.
    void askTrust() {
        GDBusConnection* connection = bus();
        if (!connection) {
            trustAsked.store(false);
            return;
        }
        g_dbus_connection_call(connection, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
                               G_DBUS_CALL_FLAGS_NONE, queryTimeoutMs, nullptr, onTrustReply, this);
    }

    static void onTrustReply(GObject* source, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        bool enabled = false;
        if (reply) {
            GVariant* value = nullptr;
            g_variant_get(reply, "(v)", &value);
            if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) enabled = g_variant_get_boolean(value);
            if (value) g_variant_unref(value);
            g_variant_unref(reply);
        } else {
            g_clear_error(&error);
        }
        self->trusted.store(enabled ? 1 : 0);
        self->trustAsked.store(false);
    }

    void subscribeToTrust() {
        GDBusConnection* connection = bus();
        if (!connection || trustSubscription) return;
        trustSubscription = g_dbus_connection_signal_subscribe(
            connection, "org.a11y.Bus", "org.freedesktop.DBus.Properties", "PropertiesChanged", "/org/a11y/bus",
            "org.a11y.Status", G_DBUS_SIGNAL_FLAGS_NONE, onTrustChanged, this, nullptr);
    }

    static void onTrustChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                               GVariant* parameters, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
        GVariant* changed = g_variant_get_child_value(parameters, 1);
        gboolean enabled = FALSE;
        if (g_variant_lookup(changed, "IsEnabled", "b", &enabled)) self->trusted.store(enabled ? 1 : 0);
        g_variant_unref(changed);
    }

    void unsubscribeFromTrust() {
        if (trustSubscription && session) g_dbus_connection_signal_unsubscribe(session, trustSubscription);
        trustSubscription = 0;
    }

    static void onFocus(AtspiEvent* event, void* data) {
        auto* tracker = static_cast<Tracker*>(data);
        AtspiAccessible* before = tracker->focused;
        if (event->source) {
            if (event->detail1) tracker->setFocused(event->source);
            else if (event->source == tracker->focused) tracker->setFocused(nullptr);
        }
        g_boxed_free(ATSPI_TYPE_EVENT, event);
        if (tracker->focused != before) refresh(*tracker);
    }

    // Reads the focused element now and publishes the reading.
    static void refresh(Tracker& tracker) {
        auto reading = read(tracker);
        std::lock_guard lock(tracker.snapshot->mutex);
        tracker.snapshot->read = reading.has_value();
        tracker.snapshot->reading = reading ? std::move(*reading) : Reading{};
    }

    static gboolean onPrefetch(gpointer data) {
        auto* tracker = static_cast<Tracker*>(data);
        g_source_unref(tracker->prefetch);
        tracker->prefetch = nullptr;
        refresh(*tracker);
        return G_SOURCE_REMOVE;
    }

    static void cancelPrefetch(Tracker& tracker) {
        if (!tracker.prefetch) return;
        g_source_destroy(tracker.prefetch);
        g_source_unref(tracker.prefetch);
        tracker.prefetch = nullptr;
    }

    // A caller took the reading at `at`. A caller that comes back at a steady pace finds one taken
    // just before its return; any other finds the one taken right after its last request.
    static void requested(Tracker& tracker, std::chrono::steady_clock::time_point at) {
        using namespace std::chrono;
        const auto pace = at - tracker.lastRequest;
        tracker.lastRequest = at;
        cancelPrefetch(tracker);
        if (pace < prefetchLead + milliseconds(50) || pace > seconds(10)) {
            refresh(tracker);
            return;
        }
        const auto due = duration_cast<milliseconds>(at + pace - prefetchLead - steady_clock::now());
        tracker.prefetch = g_timeout_source_new(static_cast<guint>(std::max<long>(0, due.count())));
        g_source_set_callback(tracker.prefetch, onPrefetch, &tracker, nullptr);
        g_source_attach(tracker.prefetch, g_main_context_get_thread_default());
    }

    static void start(Tracker& tracker, GMainContext* context) {
        // Without an accessibility bus libatspi can never connect in this process; every later call
        // would abort, so nothing else is tried.
        static const bool connected = atspi_init() <= 1;  // later calls would only say "already done"
        if (!connected) return;
        atspi_set_main_context(context);
        // An application that does not answer within this is treated as gone for that query.
        atspi_set_timeout(queryTimeoutMs - 50, -1);
        tracker.available = true;
        tracker.listener = atspi_event_listener_new(onFocus, &tracker, nullptr);
        GError* error = nullptr;
        if (!atspi_event_listener_register(tracker.listener, kFocusEvent, &error)) g_clear_error(&error);
        if (!tracker.focused) tracker.setFocused(findFocused());
        refresh(tracker);
    }

    static void stop(Tracker& tracker) {
        cancelPrefetch(tracker);
        if (tracker.listener) {
            GError* error = nullptr;
            if (!atspi_event_listener_deregister(tracker.listener, kFocusEvent, &error)) g_clear_error(&error);
            g_object_unref(tracker.listener);
            tracker.listener = nullptr;
        }
        tracker.setFocused(nullptr);
    }

    // The element that had focus before we listened: a bounded walk of the active windows.
    static AtspiAccessible* findFocused() {
        const auto deadline = std::chrono::steady_clock::now() + kWalkBudget;
        int visited = 0;
        AtspiAccessible* found = nullptr;
        std::function<void(AtspiAccessible*, int)> walk = [&](AtspiAccessible* node, int depth) {
            if (found || depth > kWalkMaxDepth || ++visited > kWalkMaxNodes ||
                std::chrono::steady_clock::now() > deadline)
                return;
            if (depth > 0 && hasState(node, ATSPI_STATE_FOCUSED)) {
                found = static_cast<AtspiAccessible*>(g_object_ref(node));
                return;
            }
            // Lists and tables that manage their own descendants can hold millions of rows.
            if (hasState(node, ATSPI_STATE_MANAGES_DESCENDANTS)) return;
            GError* error = nullptr;
            const gint n = atspi_accessible_get_child_count(node, &error);
            if (error) {
                g_clear_error(&error);
                return;
            }
            for (gint i = 0; i < n && !found; ++i) {
                AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, &error);
                if (error) g_clear_error(&error);
                if (!child) continue;
                walk(child, depth + 1);
                g_object_unref(child);
            }
        };
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop) return nullptr;
        GError* error = nullptr;
        const gint apps = atspi_accessible_get_child_count(desktop, &error);
        if (error) g_clear_error(&error);
        for (gint a = 0; a < apps && !found; ++a) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, &error);
            if (error) g_clear_error(&error);
            if (!app) continue;
            // Only windows that are active hold the keyboard focus.
            const gint windows = atspi_accessible_get_child_count(app, &error);
            if (error) g_clear_error(&error);
            for (gint w = 0; w < windows && !found; ++w) {
                AtspiAccessible* window = atspi_accessible_get_child_at_index(app, w, &error);
                if (error) g_clear_error(&error);
                if (!window) continue;
                if (hasState(window, ATSPI_STATE_ACTIVE)) walk(window, 1);
                g_object_unref(window);
            }
            g_object_unref(app);
        }
        g_object_unref(desktop);
        return found;
    }

    static std::optional<Reading> read(Tracker& tracker) {
        if (!tracker.available || !tracker.focused) return std::nullopt;
        AtspiAccessible* object = static_cast<AtspiAccessible*>(g_object_ref(tracker.focused));
        // The role can change (an entry whose text is hidden becomes a password field).
        atspi_accessible_clear_cache(object);
        GError* error = nullptr;
        const AtspiRole role = atspi_accessible_get_role(object, &error);
        if (error) {
            // Gone (its application quit): nothing has focus as far as we can tell.
            g_clear_error(&error);
            if (tracker.focused == object) tracker.setFocused(nullptr);
            g_object_unref(object);
            return std::nullopt;
        }
        Reading reading;
        AtspiText* text = role == ATSPI_ROLE_PASSWORD_TEXT ? nullptr : atspi_accessible_get_text_iface(object);
        if (text) {
            gchar* all = atspi_text_get_text(text, 0, -1, &error);
            if (error) g_clear_error(&error);
            if (all) {
                reading.value = validUtf8(all);
                g_free(all);
                const gint selections = atspi_text_get_n_selections(text, &error);
                if (error) g_clear_error(&error);
                if (selections > 0) {
                    AtspiRange* range = atspi_text_get_selection(text, 0, &error);
                    if (error) g_clear_error(&error);
                    if (range) {
                        if (range->end_offset > range->start_offset)
                            reading.selectedText = characters(*reading.value, range->start_offset, range->end_offset);
                        g_free(range);
                    }
                }
            }
            g_object_unref(text);
        }
        g_object_unref(object);
        return reading;
    }

    GDBusConnection* bus() {
        std::lock_guard lock(busMutex);
        if (!session) {
            GError* error = nullptr;
            session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
            if (error) g_clear_error(&error);
        }
        return session;
    }

    std::optional<bool> isEnabled() {
        GDBusConnection* connection = bus();
        if (!connection) return std::nullopt;
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
            queryTimeoutMs, nullptr, &error);
        if (!reply) {
            g_clear_error(&error);
            return std::nullopt;
        }
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        std::optional<bool> enabled;
        if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) enabled = g_variant_get_boolean(value);
        if (value) g_variant_unref(value);
        g_variant_unref(reply);
        return enabled;
    }

    void enable() {
        GDBusConnection* connection = bus();
        if (!connection) return;
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
            g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
            G_DBUS_CALL_FLAGS_NONE, queryTimeoutMs, nullptr, &error);
        if (reply) {
            trusted.store(1);  // the bus took it
            g_variant_unref(reply);
        }
        if (error) g_clear_error(&error);
    }
};

AtspiAccessibility::AtspiAccessibility() : impl_(std::make_unique<Impl>()) {
    auto tracker = impl_->tracker;
    // A second instance still answers the trust questions, but never finds a focused element.
    impl_->ownsLibrary = !trackerRunning.exchange(true);
    // The context is the new thread's default by the time `setup` runs.
    const bool owns = impl_->ownsLibrary;
    impl_->thread = std::make_unique<GMainThread>([tracker, owns] {
        if (owns) Impl::start(*tracker, g_main_context_get_thread_default());
    });
}

AtspiAccessibility::~AtspiAccessibility() {
    auto tracker = impl_->tracker;
    Impl* impl = impl_.get();
    impl_->thread->call([tracker, impl] {
        Impl::stop(*tracker);
        impl->unsubscribeFromTrust();
    }, std::chrono::seconds(2));
    impl_->thread.reset();
    if (impl_->ownsLibrary) trackerRunning.store(false);
    std::lock_guard lock(impl_->busMutex);
    if (impl_->session) g_object_unref(impl_->session);
}

bool AtspiAccessibility::isProcessTrusted() { return impl_->cachedTrust(*impl_->thread); }

bool AtspiAccessibility::isProcessTrustedWithPrompt() {
    const bool enabled = impl_->cachedTrust(*impl_->thread);
    // Like a prompt that the user has not answered yet: the answer is the one from before.
    if (!enabled) impl_->enable();
    return enabled;
}

std::shared_ptr<platform::AXElement> AtspiAccessibility::focusedElement() {
    auto tracker = impl_->tracker;
    if (!impl_->ownsLibrary) return nullptr;
    const auto at = std::chrono::steady_clock::now();
    impl_->thread->post([tracker, at] { Impl::requested(*tracker, at); });
    std::lock_guard lock(tracker->snapshot->mutex);
    if (!tracker->snapshot->read) return nullptr;
    return std::make_shared<AtspiElement>(tracker->snapshot->reading);
}

}  // namespace linuxplatform
