// The in-memory layer over the keyring: answers from memory, never claims what the store does not
// hold, asks the store only on its worker, and follows what others do to the store.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "platform/linux/secrets/CachingSecretStore.h"
#include "platform/linux/secrets/FileSecretStore.h"
#include "platform/linux/common/PosixFacilities.h"
#include "platform/linux/secrets/SecretServiceStore.h"
#include "platform/linux/secrets/SecretStoreWatcher.h"

namespace {

using linuxplatform::CachingSecretStore;

class CountingStore final : public platform::SecretStore {
public:
    std::optional<std::string> read(const std::string& service, const std::string& account) override {
        ++reads;
        offCaller = offCaller && std::this_thread::get_id() != caller;
        auto it = items.find({service, account});
        if (locked || it == items.end()) return std::nullopt;
        return it->second;
    }
    void add(const std::string& service, const std::string& account, const std::string& bytes) override {
        offCaller = offCaller && std::this_thread::get_id() != caller;
        if (!locked) items[{service, account}] = bytes;
    }
    void remove(const std::string& service, const std::string& account) override {
        if (!locked) items.erase({service, account});
    }
    std::map<std::pair<std::string, std::string>, std::string> items;
    std::atomic<bool> locked = false, offCaller = true;
    std::atomic<int> reads = 0;
    std::thread::id caller = std::this_thread::get_id();
};

// Holds tasks until the test runs them.
class HeldWorker final : public platform::Worker {
public:
    void run(std::function<void()> task) override { tasks.push_back(std::move(task)); }
    void runAll() {
        for (auto ready = std::move(tasks); auto& task : ready) task();
    }
    std::vector<std::function<void()>> tasks;
};

bool eventually(const std::function<bool()>& ready) {
    for (int i = 0; i < 250 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ready();
}

std::string output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    return out;
}

}  // namespace

TEST(CachingSecretStoreTest, AnswersFromMemoryUntilTheStoreChangesAndClaimsOnlyWhatItHolds) {
    auto inner = std::make_shared<CountingStore>();
    CachingSecretStore store(inner);
    // Asked once, and not again until told that the store changed, however long it is.
    EXPECT_FALSE(store.read("svc", "acct"));
    inner->items[{"svc", "acct"}] = "made elsewhere";
    EXPECT_FALSE(store.read("svc", "acct"));
    EXPECT_EQ(inner->reads, 1);
    store.refresh();
    EXPECT_EQ(store.read("svc", "acct"), "made elsewhere");
    // A locked store drops the write and the removal: neither is reported as done.
    inner->locked = true;
    store.remove("svc", "acct");
    store.add("svc", "acct", "token-2");
    EXPECT_FALSE(store.read("svc", "acct"));
    inner->locked = false;
    store.refresh();
    EXPECT_EQ(store.read("svc", "acct"), "made elsewhere");
    // Another store underneath from now on: read again at once.
    auto other = std::make_shared<CountingStore>();
    other->items[{"svc", "acct"}] = "in the keyring";
    store.replaceStore(other);
    EXPECT_EQ(store.read("svc", "acct"), "in the keyring");
}

TEST(CachingSecretStoreTest, WithAWorkerTheStoreIsAskedOnlyThereAndAFirstReadWaitsAtMostItsLimit) {
    auto inner = std::make_shared<CountingStore>();
    inner->items[{"svc", "acct"}] = "token";
    auto held = std::make_unique<HeldWorker>();
    HeldWorker& worker = *held;
    CachingSecretStore store(inner, std::move(held));
    store.prefetch("svc", "acct");
    EXPECT_FALSE(store.readWithin("svc", "acct", 0.05));
    ASSERT_EQ(worker.tasks.size(), 1u);
    worker.runAll();
    EXPECT_EQ(store.readWithin("svc", "acct", 0), "token");
    // Changes are read there too, once however often they are signalled; meanwhile the old value.
    inner->items[{"svc", "acct"}] = "replaced elsewhere";
    store.refresh();
    store.refresh();
    EXPECT_EQ(store.read("svc", "acct"), "token");
    ASSERT_EQ(worker.tasks.size(), 1u);
    worker.runAll();
    EXPECT_EQ(store.read("svc", "acct"), "replaced elsewhere");

    // Writes are made on a real worker and waited for.
    auto threaded = std::make_shared<CountingStore>();
    CachingSecretStore onWorker(threaded, std::make_unique<linuxplatform::ThreadWorker>());
    onWorker.add("svc", "acct", "kept");
    EXPECT_EQ(onWorker.read("svc", "acct"), "kept");
    EXPECT_TRUE(threaded->offCaller && inner->offCaller.load() == false);
}

// Needs the Secret Service of scripts/session.
TEST(CachingSecretStoreTest, FollowsWhatOthersDoToTheKeyringAndTheFileStore) {
    ASSERT_TRUE(linuxplatform::SecretServiceStore::available()) << "run under scripts/session";
    char pattern[] = "/tmp/ws-follow.XXXXXX";
    const std::string root = ::mkdtemp(pattern), folder = root + "/secrets";
    const std::string service = "com.wellspire.test.follow", account = "item";
    auto store = std::make_shared<CachingSecretStore>(std::make_shared<linuxplatform::SecretServiceStore>(folder),
                                                      std::make_unique<linuxplatform::ThreadWorker>());
    auto watcher = linuxplatform::followOutsideChanges(store, folder);
    linuxplatform::SecretServiceStore outside(folder);
    linuxplatform::FileSecretStore file(folder);
    outside.remove(service, account);

    store->add(service, account, "token-1");
    EXPECT_EQ(store->read(service, account), "token-1");
    outside.remove(service, account);
    outside.add(service, account, "token-2");
    EXPECT_TRUE(eventually([&] { return store->read(service, account) == "token-2"; }));
    outside.remove(service, account);
    EXPECT_TRUE(eventually([&] { return !store->read(service, account); }));
    file.add(service, account, "in-file");
    EXPECT_TRUE(eventually([&] { return store->read(service, account) == "in-file"; }));
    file.remove(service, account);
    EXPECT_TRUE(eventually([&] { return !store->read(service, account); }));
    watcher.reset();
    std::filesystem::remove_all(root);
}

namespace {

// On a bus of its own, without any service that could be started on demand: the store begins in
// the file store, and moves onto the Secret Service once one starts. Returns what went wrong.
std::string keyringThatStartsLate() {
    char pattern[] = "/tmp/ws-late.XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    std::filesystem::create_directories(root + "/runtime");
    std::filesystem::create_directories(root + "/data");
    {
        std::ofstream config(root + "/bus.conf");
        config << "<busconfig><type>session</type><listen>unix:dir=" << root
               << "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
    }
    std::istringstream bus(output("dbus-daemon --config-file=" + root + "/bus.conf --fork --print-address=1 --print-pid=1"));
    std::string address, busPid;
    std::getline(bus, address);
    std::getline(bus, busPid);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);

    std::string problem;
    const std::string folder = linuxplatform::FileSecretStore::defaultFolder();
    auto store =
        std::make_shared<linuxplatform::CachingSecretStore>(nullptr, std::make_unique<linuxplatform::ThreadWorker>());
    store->chooseStore(linuxplatform::makeSecretStore);
    store->read("com.wellspire.test.late", "item");  // answered after the choice
    auto watcher = linuxplatform::followOutsideChanges(store, folder);
    if (!std::dynamic_pointer_cast<linuxplatform::FileSecretStore>(store->store())) problem = "no file store at first";
    const std::string keyring =
        output("printf wellspire-test | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null");
    const auto pidAt = keyring.find("GNOME_KEYRING_PID=");
    if (problem.empty() && !eventually([&] {
            return std::dynamic_pointer_cast<linuxplatform::SecretServiceStore>(store->store()) != nullptr;
        }))
        problem = "still the file store after the Secret Service started";
    // Written once the new keyring is open (a write to a locked one goes to the file store).
    eventually([] { return linuxplatform::SecretServiceStore::defaultCollectionLocked() == false; });
    store->add("com.wellspire.test.late", "item", "token");
    // In the keyring itself, not in the file store.
    if (problem.empty() && linuxplatform::SecretServiceStore(root + "/elsewhere").read("com.wellspire.test.late", "item") != "token")
        problem = "the token did not reach the keyring";

    watcher.reset();
    store.reset();
    // Never a pid of 0 or less, which would reach the whole process group.
    const auto stop = [](int pid) {
        if (pid <= 0 || ::kill(pid, SIGTERM) != 0) return;
        eventually([pid] { return ::kill(pid, 0) != 0; });  // gone, with its sockets
    };
    if (pidAt != std::string::npos) stop(std::atoi(keyring.c_str() + pidAt + 18));
    stop(std::atoi(busPid.c_str()));
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return problem;
}

}  // namespace

TEST(CachingSecretStoreDeathTest, MovesOntoASecretServiceThatStartsAfterTheAgent) {
    // A process of its own: the session bus a process first connects to stays its bus.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string problem = keyringThatStartsLate();
            std::fprintf(stderr, "%s\n", problem.c_str());
            std::_Exit(problem.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
