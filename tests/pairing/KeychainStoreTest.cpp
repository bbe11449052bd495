#include <gtest/gtest.h>

#include "backend/Log.h"
#include "pairing/DeviceAuth.h"
#include "pairing/KeychainStore.h"
#include "sim/SimPlatform.h"

using sim::SimPlatform;

namespace {
const char* S = DeviceAuth::kTokenService;
const char* A = DeviceAuth::kTokenAccount;
}  // namespace

TEST(KeychainStore, WriteReplacesAndReadReturnsExactlyTheStoredText) {
    SimPlatform sim;
    EXPECT_FALSE(KeychainStore::read(S, A));
    EXPECT_FALSE(DeviceAuth::isPaired());
    KeychainStore::write(S, A, "first");
    KeychainStore::write(S, A, "zweite \u00fc \U0001F600");
    EXPECT_EQ(KeychainStore::read(S, A), "zweite \u00fc \U0001F600");
    EXPECT_EQ(sim.secrets().items.size(), 1u);
    EXPECT_TRUE(DeviceAuth::isPaired());
    KeychainStore::remove(S, A);
    KeychainStore::remove(S, A);
    EXPECT_FALSE(DeviceAuth::isPaired());
}

TEST(KeychainStore, EmptyAndNonUtf8Items) {
    SimPlatform sim;
    KeychainStore::write(S, A, "");
    EXPECT_EQ(KeychainStore::read(S, A), "");
    EXPECT_FALSE(DeviceAuth::isPaired());
    sim.secrets().items[{S, A}] = std::string("\xff\xfe", 2);
    EXPECT_FALSE(KeychainStore::read(S, A));
    EXPECT_FALSE(DeviceAuth::isPaired());
}

TEST(KeychainStore, UnavailableStoreLooksLikeNoToken) {
    SimPlatform sim;
    sim.secrets().available = false;
    KeychainStore::write(S, A, "x");
    EXPECT_FALSE(KeychainStore::read(S, A));
    EXPECT_FALSE(DeviceAuth::isPaired());
}

TEST(DeviceAuth, CompletePairingAcceptsOnlyTheExactCallbackForm) {
    SimPlatform sim;
    auto stored = [&] { return KeychainStore::read(S, A); };
    EXPECT_TRUE(DeviceAuth::completePairing("wellspire://pair?token=abc%20d&token=second"));
    EXPECT_EQ(stored(), "abc d");
    for (const std::string& bad : std::vector<std::string>
         {"WELLSPIRE://pair?token=x", "wellspire://PAIR?token=x", "wellspire://other?token=x", "wellspire://pair?token=",
          "wellspire://pair?token", "wellspire://pair?tok=x", "wellspire://pair", "wellspire:pair?token=x",
          "https://pair?token=x", "wellspire://pair?token=%FF", "wellspire://pair?token=a%0D%0AX-Evil:%201"}) {
        EXPECT_FALSE(DeviceAuth::completePairing(bad)) << bad;
        EXPECT_EQ(stored(), "abc d") << bad;
    }
    EXPECT_TRUE(DeviceAuth::completePairing("wellspire://pair/ignored:1?x=1&token=new#frag"));
    EXPECT_EQ(stored(), "new");
}

TEST(WsLog, OneTimestampedLinePerCallAndNewlinesStayInOneWrite) {
    SimPlatform sim(SimPlatform::at(2026, 12, 6, 3, 46, 32));
    wsLog("LAUNCH path=/x");
    wsLog("two\nlines");
    EXPECT_EQ(sim.logText(), "2026-12-06T03:46:32Z  LAUNCH path=/x\n2026-12-06T03:46:32Z  two\nlines\n");
    sim.files().unwritable.insert(kLogPath);
    wsLog("dropped");
    sim.files().unwritable.clear();
    sim.files().files.erase(kLogPath);
    sim.advance(1.7);
    wsLog("again");
    EXPECT_EQ(sim.logText(), "2026-12-06T03:46:33Z  again\n");
}
