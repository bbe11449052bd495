#include "platform/linux/secrets/SecretStoreWatcher.h"

#include <gio/gio.h>


#include "platform/linux/secrets/CachingSecretStore.h"
#include "platform/linux/secrets/SecretServiceStore.h"

namespace linuxplatform {

namespace {
constexpr const char* kSecretsName = "org.freedesktop.secrets";
}

struct SecretStoreWatcher::State {
    Handlers handlers;
    std::string folder;
    GDBusConnection* bus = nullptr;
    guint subscriptions[3] = {0, 0, 0};
    guint nameWatch = 0;
    GFileMonitor* monitor = nullptr;

    static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                         gpointer data) {
        static_cast<State*>(data)->changed();
    }
    static void onFile(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer data) {
        static_cast<State*>(data)->changed();
    }
    static void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
        auto* self = static_cast<State*>(data);
        if (self->handlers.serviceAppeared) self->handlers.serviceAppeared();
    }
    void changed() {
        if (handlers.changed) handlers.changed();
    }

    void start() {
        // The file store's folder is watched even before it holds anything.
        g_mkdir_with_parents(folder.c_str(), 0700);
        GFile* dir = g_file_new_for_path(folder.c_str());
        monitor = g_file_monitor_directory(dir, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
        g_object_unref(dir);
        if (monitor) g_signal_connect(monitor, "changed", G_CALLBACK(onFile), this);

        if (!sessionBusConfigured()) return;
        bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (!bus) return;
        // Items created, changed or deleted in any collection.
        subscriptions[0] = g_dbus_connection_signal_subscribe(bus, nullptr, "org.freedesktop.Secret.Collection",
                                                              nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                              onSignal, this, nullptr);
        // Collections locked, unlocked, made or removed.
        subscriptions[1] = g_dbus_connection_signal_subscribe(bus, nullptr, "org.freedesktop.Secret.Service",
                                                              nullptr, "/org/freedesktop/secrets", nullptr,
                                                              G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
        subscriptions[2] = g_dbus_connection_signal_subscribe(
            bus, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged", nullptr,
            "org.freedesktop.Secret.Collection", G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
        nameWatch = g_bus_watch_name_on_connection(bus, kSecretsName, G_BUS_NAME_WATCHER_FLAGS_NONE, onAppeared,
                                                   nullptr, this, nullptr);
    }

    void stop() {
        if (monitor) {
            g_signal_handlers_disconnect_by_data(monitor, this);
            g_file_monitor_cancel(monitor);
            g_object_unref(monitor);
            monitor = nullptr;
        }
        if (!bus) return;
        for (guint& id : subscriptions)
            if (id) g_dbus_connection_signal_unsubscribe(bus, id), id = 0;
        if (nameWatch) g_bus_unwatch_name(nameWatch), nameWatch = 0;
        g_object_unref(bus);
        bus = nullptr;
    }
};

SecretStoreWatcher::SecretStoreWatcher(std::string fallbackFolder, Handlers handlers)
    : state_(std::make_unique<State>()), context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
    state_->handlers = std::move(handlers);
    state_->folder = std::move(fallbackFolder);
    // Everything is attached to the thread's own context, so every callback runs on that thread.
    thread_ = std::thread([state = state_.get(), context = context_, loop = loop_] {
        g_main_context_push_thread_default(context);
        state->start();
        g_main_loop_run(loop);
        state->stop();
        g_main_context_pop_thread_default(context);
    });
}

SecretStoreWatcher::~SecretStoreWatcher() {
    // Quitting is safe from any thread; the watches are let go on the watcher's thread, after its loop.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit, [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_, nullptr);
    g_source_attach(quit, context_);
    g_source_unref(quit);
    if (thread_.joinable()) thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

std::unique_ptr<SecretStoreWatcher> followOutsideChanges(const std::shared_ptr<CachingSecretStore>& store,
                                                         const std::string& fallbackFolder) {
    std::weak_ptr<CachingSecretStore> weak = store;
    // A Secret Service may own its name a moment before it has a default collection to store
    // into: every later change asks again while the items still live in the file store.
    auto follow = [weak, fallbackFolder] {
        auto s = weak.lock();
        if (!s) return;
        // The Secret Service store reads the file store first, so nothing kept there is lost.
        if (!std::dynamic_pointer_cast<SecretServiceStore>(s->store()) && SecretServiceStore::available())
            s->replaceStore(std::make_shared<SecretServiceStore>(fallbackFolder));
        else
            s->refresh();
    };
    SecretStoreWatcher::Handlers handlers{follow, follow};
    return std::make_unique<SecretStoreWatcher>(fallbackFolder, std::move(handlers));
}

}  // namespace linuxplatform
