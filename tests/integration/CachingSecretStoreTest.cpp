// The in-memory layer over the keyring: answers from memory, yet never claims what the store does not hold.
#include <gtest/gtest.h>

#include <map>

#include "platform/linux/CachingSecretStore.h"

namespace {

class CountingStore final : public platform::SecretStore {
public:
    std::optional<std::string> read(const std::string& service, const std::string& account) override {
        ++reads;
        auto it = items.find({service, account});
        if (locked || it == items.end()) return std::nullopt;
        return it->second;
    }
    void add(const std::string& service, const std::string& account, const std::string& bytes) override {
        if (!locked) items[{service, account}] = bytes;
    }
    void remove(const std::string& service, const std::string& account) override {
        if (!locked) items.erase({service, account});
    }
    std::map<std::pair<std::string, std::string>, std::string> items;
    bool locked = false;
    int reads = 0;
};

}  // namespace

TEST(CachingSecretStoreTest, ValuesComeFromMemoryAndMissesAreAskedAgainLater) {
    auto inner = std::make_shared<CountingStore>();
    platform::TimePoint now{};
    linuxplatform::CachingSecretStore store(inner, [&] { return now; });

    // Nothing stored: asked once, then again only after the miss has aged.
    EXPECT_FALSE(store.read("svc", "acct"));
    EXPECT_FALSE(store.read("svc", "acct"));
    EXPECT_EQ(inner->reads, 1);
    inner->items[{"svc", "acct"}] = "made elsewhere";
    now += std::chrono::milliseconds(9900);
    EXPECT_FALSE(store.read("svc", "acct"));
    now += std::chrono::milliseconds(200);
    EXPECT_EQ(store.read("svc", "acct"), "made elsewhere");
    const int reads = inner->reads;
    for (int i = 0; i < 100; ++i) EXPECT_EQ(store.read("svc", "acct"), "made elsewhere");
    EXPECT_EQ(inner->reads, reads);

    // Other accounts are their own entries.
    EXPECT_FALSE(store.read("svc", "other"));
}

TEST(CachingSecretStoreTest, WritesAndRemovalsReportWhatTheStoreReallyHolds) {
    auto inner = std::make_shared<CountingStore>();
    platform::TimePoint now{};
    linuxplatform::CachingSecretStore store(inner, [&] { return now; });

    store.add("svc", "acct", "token-1");
    EXPECT_EQ(store.read("svc", "acct"), "token-1");
    store.remove("svc", "acct");
    EXPECT_FALSE(store.read("svc", "acct"));

    // A locked keyring drops the write: the token is not reported as kept.
    inner->locked = true;
    store.add("svc", "acct", "token-2");
    EXPECT_FALSE(store.read("svc", "acct"));
    // Unlocked later, a new write holds.
    inner->locked = false;
    store.add("svc", "acct", "token-3");
    EXPECT_EQ(store.read("svc", "acct"), "token-3");
    // A removal the locked store refused: nothing can be read while it is locked, and the token is
    // found again once it is unlocked.
    inner->locked = true;
    store.remove("svc", "acct");
    EXPECT_FALSE(store.read("svc", "acct"));
    inner->locked = false;
    now += std::chrono::seconds(10);
    EXPECT_EQ(store.read("svc", "acct"), "token-3");
}

namespace {

// Holds tasks until the test runs them.
class HeldWorker final : public platform::Worker {
public:
    void run(std::function<void()> task) override { tasks.push_back(std::move(task)); }
    void runAll() {
        auto ready = std::move(tasks);
        tasks.clear();
        for (auto& task : ready) task();
    }
    std::vector<std::function<void()>> tasks;
};

}  // namespace

TEST(CachingSecretStoreTest, WithAWorkerAnAgedMissIsAskedAgainThereWhileTheCallerGoesOn) {
    auto inner = std::make_shared<CountingStore>();
    platform::TimePoint now{};
    auto held = std::make_unique<HeldWorker>();
    HeldWorker& worker = *held;
    linuxplatform::CachingSecretStore store(inner, [&] { return now; }, std::move(held));

    // The first answer is waited for, on the caller's thread.
    EXPECT_FALSE(store.read("svc", "acct"));
    EXPECT_EQ(inner->reads, 1);
    EXPECT_TRUE(worker.tasks.empty());

    // Aged, the miss is answered at once from memory and asked again on the worker, once however
    // often it is read meanwhile.
    inner->items[{"svc", "acct"}] = "unlocked later";
    now += std::chrono::seconds(11);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(store.read("svc", "acct"));
    EXPECT_EQ(inner->reads, 1);
    ASSERT_EQ(worker.tasks.size(), 1u);
    worker.runAll();
    EXPECT_EQ(inner->reads, 2);
    EXPECT_EQ(store.read("svc", "acct"), "unlocked later");

    // A write while the worker asks is what counts, not the answer the worker brings back after it.
    now += std::chrono::seconds(11);
    store.remove("svc", "acct");
    now += std::chrono::seconds(11);
    EXPECT_FALSE(store.read("svc", "acct"));
    ASSERT_EQ(worker.tasks.size(), 1u);
    store.add("svc", "acct", "token-4");
    inner->locked = true;  // the worker's ask finds nothing
    worker.runAll();
    EXPECT_EQ(store.read("svc", "acct"), "token-4");
}
