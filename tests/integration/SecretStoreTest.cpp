// The secret stores: libsecret against the gnome-keyring of scripts/session, and the file fallback.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "pairing/DeviceAuth.h"
#include "pairing/KeychainStore.h"
#include "platform/Platform.h"
#include "platform/linux/secrets/FileSecretStore.h"
#include "platform/linux/secrets/SecretServiceStore.h"

namespace {

namespace fs = std::filesystem;

const std::string kSpacedUtf8 = "tok en \xC3\xA9\xE2\x80\x94\xF0\x9F\x99\x82";

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    return out;
}

GVariant* secretsCall(const char* path, const char* iface, const char* method, GVariant* args) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", path, iface, method, args, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    g_object_unref(bus);
    return reply;
}

// Locks the default collection, or unlocks it with the password of scripts/session, without a prompt.
bool setDefaultLocked(bool locked) {
    GVariant* alias = secretsCall("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
                                  g_variant_new("(s)", "default"));
    if (!alias) return false;
    gchar* collection = nullptr;
    g_variant_get(alias, "(o)", &collection);
    g_variant_unref(alias);
    GVariant* reply = nullptr;
    if (locked) {
        const gchar* paths[] = {collection};
        reply = secretsCall("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
                            g_variant_new("(@ao)", g_variant_new_objv(paths, 1)));
    } else if (GVariant* opened = secretsCall("/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                                              "OpenSession", g_variant_new("(sv)", "plain", g_variant_new_string("")))) {
        GVariant* output = nullptr;
        const gchar* session = nullptr;
        g_variant_get(opened, "(v&o)", &output, &session);
        const std::string password = "wellspire-test";
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.data(), password.size(), 1), "text/plain");
        reply = secretsCall("/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                            "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", collection, secret));
        g_variant_unref(output);
        g_variant_unref(opened);
    }
    g_free(collection);
    if (reply) g_variant_unref(reply);
    return reply && linuxplatform::SecretServiceStore::defaultCollectionLocked() == locked;
}

class SecretServiceStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        // scripts/session always provides a Secret Service; without one these tests must fail.
        ASSERT_TRUE(linuxplatform::SecretServiceStore::available()) << "run under scripts/session";
        store.remove(service, account);
        store.remove(service, "other-account");
    }
    void TearDown() override {
        store.remove(service, account);
        store.remove(service, "other-account");
    }
    linuxplatform::SecretServiceStore store;
    const std::string service = "com.wellspire.test.secrets";
    const std::string account = "item";
};

TEST_F(SecretServiceStoreTest, BytesRoundTripAndAnExistingItemIsNeverOverwritten) {
    EXPECT_FALSE(store.read(service, account));
    store.add(service, account, kSpacedUtf8);
    EXPECT_EQ(store.read(service, account), kSpacedUtf8);
    // Another client of the service (as after a restart) sees the same item.
    EXPECT_EQ(linuxplatform::SecretServiceStore().read(service, account), kSpacedUtf8);

    store.add(service, account, "replacement");
    EXPECT_EQ(store.read(service, account), kSpacedUtf8);
    EXPECT_FALSE(store.read(service, "other-account"));
    EXPECT_FALSE(store.read("com.wellspire.test.elsewhere", account));

    store.remove(service, account);
    EXPECT_FALSE(store.read(service, account));
    store.remove(service, account);  // nothing left: still nothing happens

    // Length-aware both ways: an inner NUL and an empty value survive.
    const std::string withNul("a\0b", 3);
    store.add(service, account, withNul);
    EXPECT_EQ(store.read(service, account), withNul);
    store.add(service, "other-account", "");
    EXPECT_EQ(store.read(service, "other-account"), "");
}

TEST_F(SecretServiceStoreTest, AnOldTokenNeverComesBackAfterTheKeyringIsUnlocked) {
    const std::string search = "secret-tool search --all service " + service + " account " + account + " 2>&1";
    store.add(service, account, "old");
    // A write while the keyring is locked (delete, then add) leaves only the new token once it opens.
    ASSERT_TRUE(setDefaultLocked(true));
    store.remove(service, account);
    store.add(service, account, "new");
    EXPECT_EQ(store.read(service, account), "new");
    ASSERT_TRUE(setDefaultLocked(false));
    EXPECT_EQ(store.read(service, account), "new");
    EXPECT_EQ(run(search).find("secret = old"), std::string::npos);

    // A removal while it is locked leaves no token in either store, before and after the unlock.
    store.remove(service, account);
    store.add(service, account, "kept in the keyring");
    ASSERT_TRUE(setDefaultLocked(true));
    store.remove(service, account);
    EXPECT_FALSE(store.read(service, account));
    ASSERT_TRUE(setDefaultLocked(false));
    EXPECT_FALSE(store.read(service, account));
    EXPECT_EQ(run(search).find("secret ="), std::string::npos);
}

TEST_F(SecretServiceStoreTest, ItemLandsInTheDefaultCollectionUnderItsSchema) {
    store.add(service, account, "visible");
    // Another client finds it by its attributes in the collection the "default" alias names.
    const std::string inDefault = run(
        "dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets/aliases/default "
        "org.freedesktop.Secret.Collection.SearchItems dict:string:string:service," + service + ",account," + account +
        " 2>/dev/null");
    EXPECT_NE(inDefault.find("object path \"/org/freedesktop/secrets/collection/"), std::string::npos) << inDefault;
    const std::string listing = run("secret-tool search --all service " + service + " account " + account + " 2>&1");
    EXPECT_NE(listing.find("schema = com.wellspire.agent.Token"), std::string::npos) << listing;
    EXPECT_NE(listing.find("secret = visible"), std::string::npos) << listing;
}

TEST_F(SecretServiceStoreTest, NamesThatCannotTravelOverTheBusAreRefusedQuietly) {
    const std::string badUtf8 = "\xFF\xFE";
    const std::string withNul("a\0b", 3);
    store.add(badUtf8, account, "x");
    store.add(withNul, account, "x");
    EXPECT_FALSE(store.read(badUtf8, account));
    EXPECT_FALSE(store.read(withNul, account));
    // "a\0b" must not have been stored as "a".
    EXPECT_FALSE(store.read("a", account));
    store.remove(badUtf8, account);
}

TEST_F(SecretServiceStoreTest, PairingStateLivesInTheKeyring) {
    platform::Services s;
    s.secrets = linuxplatform::makeSecretStore();
    ASSERT_TRUE(std::dynamic_pointer_cast<linuxplatform::SecretServiceStore>(s.secrets));
    platform::install(s);
    const auto tokenService = DeviceAuth::kTokenService, tokenAccount = DeviceAuth::kTokenAccount;

    KeychainStore::remove(tokenService, tokenAccount);
    EXPECT_FALSE(DeviceAuth::isPaired());
    KeychainStore::write(tokenService, tokenAccount, "first");
    KeychainStore::write(tokenService, tokenAccount, kSpacedUtf8);
    EXPECT_EQ(KeychainStore::read(tokenService, tokenAccount), kSpacedUtf8);
    EXPECT_TRUE(DeviceAuth::isPaired());

    ASSERT_TRUE(DeviceAuth::completePairing("wellspire://pair?token=paired-token"));
    EXPECT_EQ(KeychainStore::read(tokenService, tokenAccount), "paired-token");

    // An empty token is an item, but not a pairing.
    KeychainStore::write(tokenService, tokenAccount, "");
    EXPECT_EQ(KeychainStore::read(tokenService, tokenAccount), "");
    EXPECT_FALSE(DeviceAuth::isPaired());

    // Bytes that are not UTF-8 read as nothing.
    KeychainStore::remove(tokenService, tokenAccount);
    s.secrets->add(tokenService, tokenAccount, "\xFF\xFE");
    EXPECT_FALSE(KeychainStore::read(tokenService, tokenAccount));
    EXPECT_FALSE(DeviceAuth::isPaired());

    KeychainStore::remove(tokenService, tokenAccount);
    EXPECT_FALSE(DeviceAuth::isPaired());
    platform::install({});
}

class FileSecretStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ws-filesecrets.XXXXXX";
        root = ::mkdtemp(pattern);
        if (const char* old = std::getenv("XDG_DATA_HOME")) savedDataHome = old;
        ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        folder = root + "/data/wellspire-agent/secrets";
    }
    void TearDown() override {
        if (savedDataHome)
            ::setenv("XDG_DATA_HOME", savedDataHome->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
        fs::remove_all(root);
    }
    static unsigned mode(const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return 07777;
        return st.st_mode & 0777;
    }
    std::string pathOf(const std::string& service, const std::string& account) const {
        return folder + "/" + *linuxplatform::FileSecretStore::fileName(service, account);
    }
    static std::string contentOf(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Every path under the temporary root.
    std::set<std::string> everything() const {
        std::set<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(e.path().string());
        return out;
    }

    std::string root, folder;
    std::optional<std::string> savedDataHome;
};

TEST_F(FileSecretStoreTest, LivesInTheDataHomeOwnerOnlyEvenUnderALaxUmask) {
    EXPECT_EQ(linuxplatform::FileSecretStore::defaultFolder(), folder);
    linuxplatform::FileSecretStore store;
    EXPECT_FALSE(store.read("s", "a"));

    const mode_t oldMask = ::umask(0);
    store.add("s", "a", kSpacedUtf8);
    ::umask(oldMask);

    EXPECT_EQ(store.read("s", "a"), kSpacedUtf8);
    EXPECT_EQ(mode(folder), 0700u);
    EXPECT_EQ(mode(root + "/data/wellspire-agent"), 0700u);
    EXPECT_EQ(mode(pathOf("s", "a")), 0600u);
    EXPECT_EQ(contentOf(pathOf("s", "a")), kSpacedUtf8);

    const std::string withNul("a\0b", 3);
    store.add("s", "nul", withNul);
    EXPECT_EQ(store.read("s", "nul"), withNul);
    store.add("s", "empty", "");
    EXPECT_EQ(store.read("s", "empty"), "");
}

TEST_F(FileSecretStoreTest, IsWhatTheFactoryGivesWithoutASessionBus) {
    std::optional<std::string> bus, runtime;
    if (const char* v = std::getenv("DBUS_SESSION_BUS_ADDRESS")) bus = v;
    if (const char* v = std::getenv("XDG_RUNTIME_DIR")) runtime = v;
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    const auto store = linuxplatform::makeSecretStore();
    const auto took = std::chrono::steady_clock::now() - t0;
    if (bus) ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->c_str(), 1);
    if (runtime) ::setenv("XDG_RUNTIME_DIR", runtime->c_str(), 1); else ::unsetenv("XDG_RUNTIME_DIR");

    auto* file = dynamic_cast<linuxplatform::FileSecretStore*>(store.get());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->folder(), folder);
    EXPECT_LT(took, std::chrono::seconds(2));
}

TEST_F(FileSecretStoreTest, AddLeavesAnExistingItemAndWriteReplacesItWhole) {
    linuxplatform::FileSecretStore store(folder);
    store.add("s", "a", "old");
    store.add("s", "a", "new");
    EXPECT_EQ(store.read("s", "a"), "old");

    // A reader holding the old file keeps seeing the old bytes whole: the new value is a new file.
    const int held = ::open(pathOf("s", "a").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    auto shared = std::make_shared<linuxplatform::FileSecretStore>(folder);
    platform::Services s;
    s.secrets = shared;
    platform::install(s);
    KeychainStore::write("s", "a", "replacement");
    platform::install({});
    char buf[32] = {};
    EXPECT_EQ(::pread(held, buf, sizeof buf, 0), 3);
    EXPECT_EQ(std::string(buf), "old");
    ::close(held);
    EXPECT_EQ(store.read("s", "a"), "replacement");

    // A temporary left by a crash is not an item, and no new temporary stays behind.
    std::ofstream(folder + "/." + *linuxplatform::FileSecretStore::fileName("s", "b") + ".tmp-crashed") << "junk";
    EXPECT_FALSE(store.read("s", "b"));
    store.add("s", "b", "fresh");
    EXPECT_EQ(store.read("s", "b"), "fresh");
    std::size_t temporaries = 0;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().find(".tmp-") != std::string::npos) ++temporaries;
    EXPECT_EQ(temporaries, 1u);  // only the crashed one

    store.remove("s", "a");
    EXPECT_FALSE(store.read("s", "a"));
    EXPECT_FALSE(fs::exists(pathOf("s", "a")));
    store.remove("s", "a");
}

TEST_F(FileSecretStoreTest, LinksAndFilesOthersCouldReadOrOwnAreRefused) {
    linuxplatform::FileSecretStore store(folder);
    store.add("s", "a", "secret");
    const std::string path = pathOf("s", "a");

    ::chmod(path.c_str(), 0640);
    EXPECT_FALSE(store.read("s", "a"));
    ::chmod(path.c_str(), 0604);
    EXPECT_FALSE(store.read("s", "a"));
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(store.read("s", "a"), "secret");

    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(store.read("s", "a"));
        ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    }

    const std::string planted = root + "/planted";
    std::ofstream(planted) << "planted";
    ::chmod(planted.c_str(), 0600);
    fs::create_symlink(planted, pathOf("s", "link"));
    EXPECT_FALSE(store.read("s", "link"));
    store.add("s", "link", "written through");
    EXPECT_EQ(contentOf(planted), "planted");

    // A folder replaced by a link to somewhere else is not used either.
    const std::string decoy = root + "/decoy";
    fs::create_directory(decoy);
    ::chmod(decoy.c_str(), 0700);
    fs::rename(folder, root + "/moved-away");
    fs::create_directory_symlink(decoy, folder);
    store.add("s", "c", "lost");
    EXPECT_TRUE(fs::is_empty(decoy));
    EXPECT_FALSE(store.read("s", "c"));
}

TEST_F(FileSecretStoreTest, HostileNamesStayInsideTheFolder) {
    linuxplatform::FileSecretStore store(folder);
    const std::vector<std::pair<std::string, std::string>> names = {
        {"../../../etc", "/passwd"}, {"..", ".."}, {".", ""}, {"", ""}, {"a/b", "c\nd"},
        {std::string("x\0y", 3), "z"}, {"-", "-"}, {"\xFF", "\xC3\xA9"}};
    for (const auto& [service, account] : names) store.add(service, account, service + "|" + account);
    for (const auto& [service, account] : names) EXPECT_EQ(store.read(service, account), service + "|" + account);
    // "x\0y" is not "x".
    EXPECT_FALSE(store.read("x", "z"));
    // "-" + "-" must not meet "" + "" or another split of the same characters.
    EXPECT_NE(linuxplatform::FileSecretStore::fileName("ab", "c"), linuxplatform::FileSecretStore::fileName("a", "bc"));

    for (const auto& path : everything()) {
        if (path == root + "/data" || path == root + "/data/wellspire-agent" || path == folder) continue;
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(folder)) << path;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}),
              static_cast<long>(names.size()));

    // Names too long for a file name: nothing is stored, nothing breaks.
    const std::string longName(400, 's');
    store.add(longName, "a", "x");
    EXPECT_FALSE(store.read(longName, "a"));
    store.remove(longName, "a");
}

}  // namespace
