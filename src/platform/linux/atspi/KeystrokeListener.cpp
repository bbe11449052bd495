#include "platform/linux/atspi/KeystrokeListener.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <mutex>
#include <string>

#include "platform/linux/atspi/GMainThread.h"

namespace linuxplatform {

namespace {

constexpr const char* kRegistry = "org.a11y.atspi.Registry";
constexpr const char* kControllerPath = "/org/a11y/atspi/registry/deviceeventcontroller";
constexpr const char* kControllerInterface = "org.a11y.atspi.DeviceEventController";
constexpr const char* kListenerPath = "/com/wellspire/agent/keystrokes";
constexpr const char* kListenerInterface = "org.a11y.atspi.DeviceEventListener";
// The registry hands a listener only the keys whose modifiers (the low eight bits) are exactly the
// ones it registered for: every combination is registered.
constexpr int kModifierCombinations = 256;
constexpr int kCallTimeoutMs = 3000;

}  // namespace

// Touched on the listener's thread, but for the handler, called from the connection's own thread.
struct KeystrokeListener::State {
    std::mutex handlerMutex;
    Handler handler;
    GDBusConnection* connection = nullptr;
    guint filter = 0;

    static void start(const std::shared_ptr<State>& self);
    void close();
};

namespace {

std::string accessibilityBusAddress() {
    if (const char* address = g_getenv("AT_SPI_BUS_ADDRESS"); address && *address) return address;
    GError* error = nullptr;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!session) {
        g_clear_error(&error);
        return {};
    }
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                                  nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                                                  kCallTimeoutMs, nullptr, &error);
    g_object_unref(session);
    if (!reply) {
        g_clear_error(&error);
        return {};
    }
    const gchar* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    std::string found = address ? address : "";
    g_variant_unref(reply);
    return found;
}

// Runs on the connection's own thread as each message comes in: a key is answered there and then,
// without waiting for any main loop.
GDBusMessage* onMessage(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer data) {
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
        g_strcmp0(g_dbus_message_get_path(message), kListenerPath) != 0 ||
        g_strcmp0(g_dbus_message_get_interface(message), kListenerInterface) != 0 ||
        g_strcmp0(g_dbus_message_get_member(message), "NotifyEvent") != 0)
        return message;
    GDBusMessage* reply = g_dbus_message_new_method_reply(message);
    g_dbus_message_set_body(reply, g_variant_new("(b)", FALSE));  // never consumed
    g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(reply);
    GVariant* body = g_dbus_message_get_body(message);
    if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("((uiuuisb))"))) {
        guint32 type = 0, hwCode = 0, modifiers = 0;
        gint32 keysym = 0, timestamp = 0;
        const gchar* name = nullptr;
        gboolean isText = FALSE;
        g_variant_get(body, "((uiuui&sb))", &type, &keysym, &hwCode, &modifiers, &timestamp, &name, &isText);
        auto& state = **static_cast<std::shared_ptr<KeystrokeListener::State>*>(data);
        std::lock_guard lock(state.handlerMutex);
        if (type == ATSPI_KEY_PRESSED_EVENT && state.handler) state.handler(static_cast<unsigned>(keysym), name);
    }
    g_object_unref(message);
    return nullptr;
}

void forgetState(gpointer data) { delete static_cast<std::shared_ptr<KeystrokeListener::State>*>(data); }

// A registration the registry refused leaves those modifiers unheard; nothing else to do about it.
void onRegistered(GObject* source, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    if (GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error))
        g_variant_unref(reply);
    g_clear_error(&error);
}

}  // namespace

void KeystrokeListener::State::start(const std::shared_ptr<State>& self) {
    GDBusConnection*& connection = self->connection;
    const std::string address = accessibilityBusAddress();
    GError* error = nullptr;
    if (!address.empty())
        connection = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
    g_clear_error(&error);
    if (!connection) return;  // no accessibility bus: no keys
    self->filter = g_dbus_connection_add_filter(connection, onMessage, new std::shared_ptr<State>(self), forgetState);
    for (int mask = 0; mask < kModifierCombinations; ++mask) {
        GVariant* keys = g_variant_new_array(G_VARIANT_TYPE("(iisi)"), nullptr, 0);  // none: every key
        g_dbus_connection_call(connection, kRegistry, kControllerPath, kControllerInterface, "RegisterKeystrokeListener",
                               g_variant_new("(o@a(iisi)uu(bbb))", kListenerPath, keys, static_cast<guint32>(mask),
                                             static_cast<guint32>(1u << ATSPI_KEY_PRESSED_EVENT), FALSE, FALSE, FALSE),
                               G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, onRegistered,
                               nullptr);
    }
}

void KeystrokeListener::State::close() {
    if (!connection) return;
    if (filter) g_dbus_connection_remove_filter(connection, filter);
    filter = 0;
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    connection = nullptr;
}

KeystrokeListener::KeystrokeListener(Handler handler) : state_(std::make_shared<State>()) {
    state_->handler = std::move(handler);
    thread_ = std::make_unique<GMainThread>(nullptr);
    auto state = state_;
    thread_->post([state] { State::start(state); });
}

KeystrokeListener::~KeystrokeListener() {
    auto state = state_;
    thread_->post([state] {
        state->close();
        std::lock_guard lock(state->handlerMutex);
        state->handler = nullptr;
    });
    thread_.reset();  // runs what was posted, then ends the thread
}

}  // namespace linuxplatform
