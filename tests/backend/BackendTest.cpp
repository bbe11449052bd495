#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "backend/Backend.h"
#include "backend/Config.h"
#include "pairing/DeviceAuth.h"
#include "pairing/KeychainStore.h"
#include "sim/SimPlatform.h"

using sim::SimPlatform;
using Json = nlohmann::json;

namespace {

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        Config::resetForTesting("https://primary.test", "https://fallback.test");
        Config::setBackend("http://127.0.0.1:5055");
    }
    const platform::HttpRequest& lastRequest() { return sim.http().requests().back().request; }
    SimPlatform sim;
};

TEST_F(BackendTest, PostAndGetCarryExactlyTheirHeaders) {
    KeychainStore::write(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount, "tøken-1");
    Backend::post("/api/monitor", Json{{"text", "hello"}}, [](auto) {});
    EXPECT_EQ(lastRequest().method, "POST");
    EXPECT_EQ(lastRequest().url, "http://127.0.0.1:5055/api/monitor");
    EXPECT_EQ(lastRequest().body, R"({"text":"hello"})");
    EXPECT_DOUBLE_EQ(lastRequest().timeoutSeconds, 8.0);
    using H = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(lastRequest().headers, (H{{"Content-Type", "application/json"}, {"X-Device-Token", "tøken-1"}}));

    Backend::get("/api/gating", [](auto) {});
    EXPECT_EQ(lastRequest().method, "GET");
    EXPECT_TRUE(lastRequest().body.empty());
    EXPECT_EQ(lastRequest().headers, (H{{"X-Device-Token", "tøken-1"}}));
}

TEST_F(BackendTest, TokenIsReadAfreshAndAbsentWhenNoneOrEmpty) {
    Backend::get("/api/gating", [](auto) {});
    EXPECT_FALSE(lastRequest().header("X-Device-Token"));
    KeychainStore::write(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount, "new");
    Backend::get("/api/gating", [](auto) {});
    EXPECT_EQ(lastRequest().header("X-Device-Token"), "new");
    KeychainStore::write(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount, "");
    Backend::post("/x", Json::object(), [](auto) {});
    EXPECT_FALSE(lastRequest().header("X-Device-Token"));
    KeychainStore::remove(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount);
    Backend::post("/x", Json::object(), [](auto) {});
    EXPECT_FALSE(lastRequest().header("X-Device-Token"));
    // A token that would break the header apart is never sent.
    sim.secrets().items[{DeviceAuth::kTokenService, DeviceAuth::kTokenAccount}] = "a\r\nX-Evil: 1";
    Backend::get("/y", [](auto) {});
    EXPECT_FALSE(lastRequest().header("X-Device-Token"));
}

TEST_F(BackendTest, RepliesBecomeObjectsOrNothingOnTheCallbackQueue) {
    std::vector<std::optional<Json>> got;
    auto completion = [&](std::optional<Json> j) {
        EXPECT_TRUE(platform::get().http->isCallbackQueue());
        got.push_back(std::move(j));
    };
    for (int i = 0; i < 6; ++i) Backend::get("/api/gating", completion);
    auto body = [](long status, std::optional<std::string> b) {
        platform::HttpResponse r;
        r.status = status;
        r.body = std::move(b);
        return r;
    };
    sim.http().answer(0, body(500, R"({"error":"boom"})"));
    sim.http().answer(1, body(200, ""));
    sim.http().answer(2, body(200, "[1,2]"));
    sim.http().answer(3, body(200, "\"str\""));
    sim.http().answer(4, body(200, "{not json"));
    sim.http().answer(5, body(0, std::nullopt));
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], (Json{{"error", "boom"}}));
    for (int i = 1; i < 6; ++i) EXPECT_FALSE(got[i]) << i;
}

TEST(DecodeReplyTest, RepliesNestedDeeperThanAnyReplyAreRefusedWhole) {
    auto decode = [](const std::string& body) {
        platform::HttpResponse r;
        r.status = 200;
        r.body = body;
        return Backend::decodeReply(r);
    };
    // A value `levels` down: the object is level 0, each array one more.
    auto nested = [](int levels) {
        const auto arrays = static_cast<std::size_t>(levels - 1);
        return R"({"ok":true,"a":)" + std::string(arrays, '[') + "1" + std::string(arrays, ']') + "}";
    };
    const auto deepest = decode(nested(Backend::kMaxReplyDepth));
    ASSERT_TRUE(deepest);
    EXPECT_EQ(deepest->at("ok"), true);
    EXPECT_FALSE(decode(nested(Backend::kMaxReplyDepth + 1)));
    // Hundreds of thousands of levels fit in a reply; parsing them must not recurse either.
    EXPECT_FALSE(decode(nested(300000)));
    EXPECT_FALSE(decode(std::string(300000, '[') + std::string(300000, ']')));
}

TEST_F(BackendTest, EarlyFailuresCompleteSynchronouslyWithoutARequest) {
    int calls = 0;
    Backend::post("/x", Json{{"n", std::numeric_limits<double>::infinity()}}, [&](auto j) {
        EXPECT_FALSE(j);
        EXPECT_TRUE(platform::mainLoop().isMainThread());
        ++calls;
    });
    EXPECT_EQ(calls, 1);
    Backend::post("/x", Json{{"text", std::string("bad \xff utf8")}}, [&](auto j) {
        EXPECT_FALSE(j);
        ++calls;
    });
    EXPECT_EQ(calls, 2);
    Config::setBackend("http://bad host");
    Backend::get("/api/gating", [&](auto j) {
        EXPECT_FALSE(j);
        ++calls;
    });
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(sim.http().requests().empty());
}

TEST_F(BackendTest, ServerThatNeverAnswersCompletesWithNothingAfterEightSeconds) {
    int calls = 0;
    Backend::get("/api/gating", [&](auto j) {
        EXPECT_FALSE(j);
        ++calls;
    });
    sim.advance(7.99);
    EXPECT_EQ(calls, 0);
    sim.advance(0.02);
    EXPECT_EQ(calls, 1);
    sim.advance(60);
    EXPECT_EQ(calls, 1);
}

TEST_F(BackendTest, ReportsAndTrailingSlashBase) {
    Config::setBackend("https://primary.test/");
    Backend::logAppUsage({{"Firefox", 12.5}, {"Terminal", 3.0}});
    EXPECT_EQ(lastRequest().url, "https://primary.test//api/app_usage/log");
    EXPECT_EQ(sim.http().requests().back().bodyJson(), (Json{{"apps", {{"Firefox", 12.5}, {"Terminal", 3.0}}}}));
    Backend::log(Json{{"tab_switches", 1.5}});
    EXPECT_EQ(lastRequest().url, "https://primary.test//api/behavioral/log");
    sim.http().answerJson(1, {{"ok", true}});  // the reply is ignored without harm
}

}  // namespace
