#include "platform/linux/secrets/SecretServiceStore.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>

namespace linuxplatform {
namespace {

const SecretSchema* schema() {
    static const SecretSchema s = {
        "com.wellspire.agent.Token",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &s;
}

// Attribute values travel as D-Bus strings: they must be UTF-8 without NULs.
bool usableAttribute(const std::string& s) {
    return s.find('\0') == std::string::npos && g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

void freeItems(GList* items) { g_list_free_full(items, g_object_unref); }

// Items of that service and account. Never unlocks (an unlock could prompt and block the caller).
GList* search(const std::string& service, const std::string& account, SecretSearchFlags flags, bool* failed) {
    GError* error = nullptr;
    GList* items = secret_password_search_sync(schema(), flags, nullptr, &error, "service", service.c_str(),
                                               "account", account.c_str(), nullptr);
    *failed = error != nullptr;
    if (error) g_error_free(error);
    return items;
}

// Together well under three seconds, even when the service must be started first.
constexpr gint kBusDaemonTimeoutMs = 500;
constexpr gint kActivationTimeoutMs = 1200;
constexpr gint kAliasTimeoutMs = 700;
constexpr const char* kSecretsName = "org.freedesktop.secrets";

GVariant* busCall(GDBusConnection* bus, const char* dest, const char* path, const char* iface, const char* method,
                  GVariant* args, const GVariantType* reply, gint timeoutMs) {
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(bus, dest, path, iface, method, args, reply,
                                                   G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
    if (error) g_error_free(error);
    return result;
}

// Deletes the keyring's items of that service and account; false when the service refused.
bool clearKeyring(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", service.c_str(), "account", account.c_str(),
                               nullptr);
    const bool failed = error != nullptr;
    if (error) g_error_free(error);
    return !failed;
}

}  // namespace

bool sessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    struct stat st {};
    return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool SecretServiceStore::settleRemoval(const std::string& service, const std::string& account) {
    if (!removed_.read(service, account)) return true;
    // Deleting from a locked collection could ask for an unlock: wait until it is open.
    if (defaultCollectionLocked() != false || !clearKeyring(service, account)) return false;
    removed_.remove(service, account);
    return true;
}

std::optional<std::string> SecretServiceStore::read(const std::string& service, const std::string& account) {
    if (!usableAttribute(service) || !usableAttribute(account)) return std::nullopt;
    const bool keyringItemGone = !settleRemoval(service, account);
    // An item in the file store is there because the last write could not reach the keyring.
    if (auto bytes = fallback_.read(service, account)) return bytes;
    if (keyringItemGone) return std::nullopt;
    bool failed = false;
    GList* items = search(service, account, SECRET_SEARCH_LOAD_SECRETS, &failed);
    if (failed || !items) {
        freeItems(items);
        return std::nullopt;
    }
    std::optional<std::string> out;
    GError* error = nullptr;
    SecretValue* value =
        secret_retrievable_retrieve_secret_sync(SECRET_RETRIEVABLE(items->data), nullptr, &error);
    if (error) g_error_free(error);
    if (value) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        if (bytes) out.emplace(bytes, length);
        secret_value_unref(value);
    }
    freeItems(items);
    return out;
}

void SecretServiceStore::add(const std::string& service, const std::string& account, const std::string& bytes) {
    if (!usableAttribute(service) || !usableAttribute(account)) return;
    if (fallback_.read(service, account)) return;
    // Storing into a locked collection would ask the user to unlock it, and wait for the answer.
    // An older item a removal could not reach must go first, or it would come back.
    bool keyring = settleRemoval(service, account) && defaultCollectionLocked() == false;
    if (keyring) {
        bool failed = false;
        GList* existing = search(service, account, SECRET_SEARCH_NONE, &failed);
        const bool exists = existing != nullptr;
        freeItems(existing);
        // Like a keychain add: an existing item is left alone.
        if (exists) return;
        keyring = !failed;
    }
    if (keyring) {
        SecretValue* value = secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "text/plain");
        const std::string label = service + " (" + account + ")";
        GError* error = nullptr;
        const gboolean stored = secret_password_store_binary_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                                                  value, nullptr, &error, "service", service.c_str(),
                                                                  "account", account.c_str(), nullptr);
        if (error) g_error_free(error);
        secret_value_unref(value);
        if (stored) return;
    }
    fallback_.add(service, account, bytes);
}

void SecretServiceStore::remove(const std::string& service, const std::string& account) {
    if (!usableAttribute(service) || !usableAttribute(account)) return;
    fallback_.remove(service, account);
    // Deleting from a locked collection may ask for an unlock too: its item is marked removed
    // instead, and deleted once the collection is open.
    if (defaultCollectionLocked() == false && clearKeyring(service, account)) {
        removed_.remove(service, account);
        return;
    }
    removed_.add(service, account, "");
}

std::optional<bool> SecretServiceStore::defaultCollectionLocked() {
    if (!sessionBusConfigured()) return std::nullopt;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) g_error_free(error);
    if (!bus) return std::nullopt;
    std::optional<bool> locked;
    std::string path;
    if (GVariant* alias = busCall(bus, kSecretsName, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                                  "ReadAlias", g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"),
                                  kAliasTimeoutMs)) {
        const gchar* p = nullptr;
        g_variant_get(alias, "(&o)", &p);
        if (p) path = p;
        g_variant_unref(alias);
    }
    if (!path.empty() && path != "/") {
        if (GVariant* reply = busCall(bus, kSecretsName, path.c_str(), "org.freedesktop.DBus.Properties", "Get",
                                      g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"),
                                      G_VARIANT_TYPE("(v)"), kAliasTimeoutMs)) {
            GVariant* value = nullptr;
            g_variant_get(reply, "(v)", &value);
            if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) locked = g_variant_get_boolean(value);
            if (value) g_variant_unref(value);
            g_variant_unref(reply);
        }
    }
    g_object_unref(bus);
    return locked;
}

bool SecretServiceStore::available() {
    if (!sessionBusConfigured()) return false;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) g_error_free(error);
    if (!bus) return false;

    bool answers = false;
    if (GVariant* owned = busCall(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                  "NameHasOwner", g_variant_new("(s)", kSecretsName), G_VARIANT_TYPE("(b)"),
                                  kBusDaemonTimeoutMs)) {
        gboolean has = FALSE;
        g_variant_get(owned, "(b)", &has);
        g_variant_unref(owned);
        answers = has;
    }
    if (!answers) {
        // Not running but perhaps activatable: a ping starts it, and must come back quickly.
        if (GVariant* pong = busCall(bus, kSecretsName, "/org/freedesktop/secrets", "org.freedesktop.DBus.Peer",
                                     "Ping", nullptr, nullptr, kActivationTimeoutMs)) {
            g_variant_unref(pong);
            answers = true;
        }
    }
    if (answers) {
        // A service without a default collection could only store after asking the user to make one.
        answers = false;
        if (GVariant* alias = busCall(bus, kSecretsName, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                                      "ReadAlias", g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"),
                                      kAliasTimeoutMs)) {
            const gchar* path = nullptr;
            g_variant_get(alias, "(&o)", &path);
            answers = path && std::string(path) != "/";
            g_variant_unref(alias);
        }
    }
    g_object_unref(bus);
    return answers;
}

std::shared_ptr<platform::SecretStore> makeSecretStore() {
    if (SecretServiceStore::available()) return std::make_shared<SecretServiceStore>();
    return std::make_shared<FileSecretStore>();
}

}  // namespace linuxplatform
