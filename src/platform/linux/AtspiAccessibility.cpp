#include "platform/linux/AtspiAccessibility.h"

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/linux/AtspiFocusTracker.h"
#include "platform/linux/GMainThread.h"

namespace linuxplatform {

namespace {

// libatspi keeps process-wide state; only one tracker thread may use it at a time.
std::atomic<bool> trackerRunning{false};

class AtspiElement final : public platform::AXElement {
public:
    explicit AtspiElement(AtspiFocusTracker::Reading reading) : reading_(std::move(reading)) {}
    std::optional<platform::AXValue> attribute(const std::string& name) override {
        const std::optional<std::string>* text = nullptr;
        if (name == "AXValue") text = &reading_.value;
        else if (name == "AXSelectedText") text = &reading_.selectedText;
        if (!text || !*text) return std::nullopt;
        return platform::AXValue{true, **text};
    }

private:
    AtspiFocusTracker::Reading reading_;
};

}  // namespace

struct AtspiAccessibility::Impl {
    // Lives on, and is touched only from, the AT-SPI thread (its published reading excepted).
    std::shared_ptr<AtspiFocusTracker> tracker = std::make_shared<AtspiFocusTracker>();
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
        if (owns) tracker->start(g_main_context_get_thread_default());
    });
}

AtspiAccessibility::~AtspiAccessibility() {
    auto tracker = impl_->tracker;
    Impl* impl = impl_.get();
    impl_->thread->call([tracker, impl] {
        tracker->stop();
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
    if (!impl_->ownsLibrary) return nullptr;
    auto latest = impl_->tracker->latest();
    if (!latest.read) return nullptr;
    return std::make_shared<AtspiElement>(std::move(latest.reading));
}

}  // namespace linuxplatform
