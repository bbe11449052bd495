#include "devserver/DevServer.h"
#include "devserver/Gating.h"
#include "devserver/Judge.h"
#include "devserver/PhraseList.h"
#include "devserver/Store.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using devserver::DevServer;
using devserver::PhraseList;
using devserver::Store;
using json = nlohmann::json;

namespace {

// One server on a free loopback port, over a database file that outlives it.
class RunningServer {
public:
    RunningServer(const std::string& dbPath, std::shared_ptr<std::atomic<std::int64_t>> now)
        : store(std::make_shared<Store>(dbPath)),
          server(std::make_unique<DevServer>(store, PhraseList::loadDefault(), [now] { return now->load(); })) {
        port = server->bind(0);
        if (port <= 0) throw std::runtime_error("cannot bind");
        thread = std::thread([this] { server->serve(); });
        // stop() is only heard once the accept loop runs.
        while (!server->running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~RunningServer() {
        server->stop();
        thread.join();
    }

    std::shared_ptr<Store> store;
    std::unique_ptr<DevServer> server;
    std::thread thread;
    int port = 0;
};

class DevServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/devserver-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        start();
    }
    void TearDown() override {
        running.reset();
        std::filesystem::remove_all(dir);
    }

    void start() { running = std::make_unique<RunningServer>(dir + "/devserver.sqlite3", now); }
    void restart() {
        running.reset();
        start();
    }
    void advance(std::int64_t seconds) { *now += seconds; }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", running->port);
        c.set_connection_timeout(5);
        c.set_read_timeout(5);
        return c;
    }

    static httplib::Headers auth(const std::string& token) {
        return token.empty() ? httplib::Headers{} : httplib::Headers{{"X-Device-Token", token}};
    }

    httplib::Result post(const std::string& path, const std::string& body, const std::string& token = "") const {
        return client().Post(path.c_str(), auth(token), body, "application/json");
    }
    httplib::Result get(const std::string& path, const std::string& token = "") const {
        return client().Get(path.c_str(), auth(token));
    }

    // Parsed JSON object of a 200 reply; fails the test otherwise.
    json ok(const httplib::Result& res) const {
        EXPECT_TRUE(res) << "no reply";
        if (!res) return json::object();
        EXPECT_EQ(res->status, 200) << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        auto body = json::parse(res->body, nullptr, false);
        EXPECT_TRUE(body.is_object()) << res->body;
        return body.is_object() ? body : json::object();
    }

    json monitor(const std::string& text, const std::string& token = "") const {
        return ok(post("/api/monitor", json{{"text", text}}.dump(), token));
    }

    json gating(const std::string& token = "") const { return ok(get("/api/gating", token)); }

    std::string pair() const {
        auto res = client().Post("/pair-agent", "", "application/x-www-form-urlencoded");
        EXPECT_TRUE(res);
        if (!res) return "";
        EXPECT_EQ(res->status, 302);
        const std::string location = res->get_header_value("Location");
        const std::string prefix = "wellspire://pair?token=";
        EXPECT_EQ(location.rfind(prefix, 0), 0u) << location;
        // The page also offers the same link for browsers that do not follow the redirect.
        EXPECT_NE(res->body.find("href=\"" + location + "\""), std::string::npos);
        return location.substr(prefix.size());
    }

    httplib::Result setPrefs(const std::string& device, const std::string& value,
                             const httplib::Headers& headers = {}) const {
        return client().Post("/app/prefs", headers, "device=" + device + "&track_app_usage=" + value,
                             "application/x-www-form-urlencoded");
    }

    std::string dir;
    std::shared_ptr<std::atomic<std::int64_t>> now = std::make_shared<std::atomic<std::int64_t>>(1'700'000'000);
    std::unique_ptr<RunningServer> running;
};

const std::string behaviour = R"({"tab_switches": 12, "interruptions": 8.4, "avg_session_min": 6.5,
                                  "backspace_rate": 0.1, "late_night_min": 0, "active_minutes": 30})";

}  // namespace

TEST_F(DevServerTest, ReachabilityProbeNeedsNoToken) {
    EXPECT_EQ(ok(get("/api/me")), (json{{"ok", true}}));
    EXPECT_EQ(ok(get("/api/me", "not-a-known-token"))["ok"], true);
}

TEST_F(DevServerTest, MonitorReplyCarriesWhatTheAgentReads) {
    const json crisis = monitor("I keep thinking I can\u2019t do this anymore");
    ASSERT_TRUE(crisis["l1"].is_object());
    EXPECT_EQ(crisis["l1"]["tier3"], true);
    EXPECT_EQ(crisis["l1"]["level_name"], "high");
    EXPECT_EQ(crisis["l1"]["categories"], json::array({"crisis"}));
    ASSERT_TRUE(crisis["judgment"].is_object());
    EXPECT_EQ(crisis["judgment"]["surface"], "urgent");
    EXPECT_EQ(crisis["judgment"]["risk_level"], "high");

    const json distress = monitor("it all feels hopeless");
    EXPECT_EQ(distress["l1"]["tier3"], false);
    EXPECT_EQ(distress["l1"]["level_name"], "elevated");
    EXPECT_EQ(distress["judgment"]["surface"], "gentle");

    const json calm = monitor("meeting moved to three");
    EXPECT_EQ(calm["l1"]["tier3"], false);
    EXPECT_EQ(calm["l1"]["level_name"], "none");
    EXPECT_TRUE(calm["l1"]["categories"].is_array());
    EXPECT_TRUE(calm["l1"]["categories"].empty());
    EXPECT_EQ(calm["judgment"]["surface"], "none");
    EXPECT_EQ(calm["judgment"]["risk_level"], "none");
}

TEST_F(DevServerTest, StrainSurfacesOnlyWhenRepeatedWithinTheWindow) {
    EXPECT_EQ(monitor("so exhausted today")["judgment"]["surface"], "none");
    advance(60);
    EXPECT_EQ(monitor("still exhausted")["judgment"]["surface"], "gentle");

    advance(devserver::Judge::strainRepeatSeconds + 1);
    EXPECT_EQ(monitor("exhausted")["judgment"]["surface"], "none");

    // Another device's strain does not count for this one.
    const std::string token = pair();
    EXPECT_EQ(monitor("exhausted", token)["judgment"]["surface"], "none");
}

TEST_F(DevServerTest, ScanReplyListsHitsWithStringTiers) {
    const json hit = ok(post("/api/scan", json{{"text", "Exhausted. Hopeless. I want to end it all."}}.dump()));
    EXPECT_TRUE(hit["level"].is_number_integer());
    EXPECT_EQ(hit["level"], 3);
    EXPECT_EQ(hit["tier3"], true);
    ASSERT_TRUE(hit["hits"].is_array());
    ASSERT_EQ(hit["hits"].size(), 3u);
    // The crisis hit comes first, so the agent's first-hit phrase is the weightiest one.
    EXPECT_EQ(hit["hits"][0], (json{{"tier", "3"}, {"phrase", "end it all"}}));
    EXPECT_EQ(hit["hits"][1], (json{{"tier", "2"}, {"phrase", "hopeless"}}));
    EXPECT_EQ(hit["hits"][2], (json{{"tier", "1"}, {"phrase", "exhausted"}}));

    const json none = ok(post("/api/scan", json{{"text", "quarterly report draft"}}.dump()));
    EXPECT_EQ(none["level"], 0);
    EXPECT_EQ(none["tier3"], false);
    EXPECT_EQ(none["hits"], json::array());

    // A scan is not a judgment: it leaves the device's record alone.
    EXPECT_TRUE(running->store->recentJudgments(Store::unpairedDevice, 10).empty());
}

TEST_F(DevServerTest, UnknownTokenIsRefusedEverywhereButTheProbe) {
    const std::string bad = "0123456789abcdef";
    const std::pair<std::string, std::string> posts[] = {
        {"/api/monitor", R"({"text": "hopeless"})"},
        {"/api/scan", R"({"text": "hopeless"})"},
        {"/api/behavioral/log", behaviour},
        {"/api/app_usage/log", R"({"apps": {"Editor": 5}})"},
    };
    for (const auto& [path, body] : posts) {
        auto res = post(path, body, bad);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 401) << path;
        EXPECT_EQ(json::parse(res->body, nullptr, false), (json{{"error", "unknown device"}})) << path;
    }
    for (const char* path : {"/api/agent_prefs", "/api/gating"}) {
        auto res = get(path, bad);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 401) << path;
    }
    // Nothing was filed under any device.
    EXPECT_TRUE(running->store->recentJudgments(Store::unpairedDevice, 10).empty());
    EXPECT_FALSE(running->store->latestBehavior(Store::unpairedDevice));
    EXPECT_TRUE(running->store->appUsage(Store::unpairedDevice, 10).empty());
}

TEST_F(DevServerTest, MalformedBodiesAreRefusedAndStoreNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"/api/monitor", "{\"text\": "},
        {"/api/monitor", "[\"text\"]"},
        {"/api/monitor", R"({"text": 42})"},
        {"/api/monitor", R"({"words": "hopeless"})"},
        {"/api/scan", ""},
        {"/api/scan", R"({"text": null})"},
        {"/api/behavioral/log", R"({"tab_switches": 1})"},
        {"/api/behavioral/log", R"({"tab_switches": "12", "interruptions": 8.4, "avg_session_min": 6.5,
                                    "backspace_rate": 0.1, "late_night_min": 0, "active_minutes": 30})"},
        {"/api/behavioral/log", R"({"tab_switches": true, "interruptions": 8.4, "avg_session_min": 6.5,
                                    "backspace_rate": 0.1, "late_night_min": 0, "active_minutes": 30})"},
        {"/api/app_usage/log", R"({"apps": ["Editor"]})"},
        {"/api/app_usage/log", R"({"apps": {"Editor": 5, "Browser": "10"}})"},
        {"/api/app_usage/log", R"({"apps": {"Editor": 5, "Browser": -10}})"},
        {"/api/app_usage/log", "{}"},
        // Invalid UTF-8 inside a string.
        {"/api/monitor", std::string("{\"text\": \"\xff\xfe\"}")},
    };
    for (const auto& [path, body] : cases) {
        auto res = post(path, body);
        ASSERT_TRUE(res) << path << " " << body;
        EXPECT_EQ(res->status, 400) << path << " " << body;
        EXPECT_TRUE(json::parse(res->body, nullptr, false).contains("error")) << res->body;
    }
    EXPECT_TRUE(running->store->recentJudgments(Store::unpairedDevice, 10).empty());
    EXPECT_FALSE(running->store->latestBehavior(Store::unpairedDevice));
    // The good half of a refused batch is not kept either.
    EXPECT_TRUE(running->store->appUsage(Store::unpairedDevice, 10).empty());
    // And the server is still there.
    EXPECT_EQ(ok(get("/api/me"))["ok"], true);
}

TEST_F(DevServerTest, OversizedBodyIsRefused) {
    const std::string huge = json{{"text", std::string(DevServer::maxBodyBytes + 16, 'a')}}.dump();
    auto res = post("/api/monitor", huge);
    ASSERT_TRUE(res) << "the server dropped the connection without a reply";
    EXPECT_EQ(res->status, 413);
    EXPECT_TRUE(running->store->recentJudgments(Store::unpairedDevice, 10).empty());

    // Just under the limit is fine.
    const std::string large = json{{"text", std::string(DevServer::maxBodyBytes - 64, 'a')}}.dump();
    EXPECT_EQ(ok(post("/api/scan", large))["level"], 0);
}

TEST_F(DevServerTest, DeeplyNestedBodyDoesNotTakeTheServerDown) {
    const std::string nested = std::string(200000, '[') + std::string(200000, ']');
    auto res = post("/api/monitor", nested);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(ok(get("/api/me"))["ok"], true);
}

TEST_F(DevServerTest, PairingIssuesATokenThatAuthorisesItsOwnDevice) {
    auto page = get("/pair-agent");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("Connect this computer"), std::string::npos);
    EXPECT_NE(page->body.find("<form method=\"post\" action=\"/pair-agent\">"), std::string::npos);

    const std::string token = pair();
    ASSERT_GE(token.size(), 32u);  // at least 128 bits of hex
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(pair(), token);

    EXPECT_EQ(gating(token), (json{{"urgent", false}, {"gentle", false}}));
    monitor("hopeless", token);
    const auto device = running->store->deviceForToken(token);
    ASSERT_TRUE(device);
    EXPECT_EQ(running->store->recentJudgments(*device, 10).size(), 1u);
    EXPECT_TRUE(running->store->recentJudgments(Store::unpairedDevice, 10).empty());
}

TEST_F(DevServerTest, UrgentGatingRisesAfterTwoUrgentJudgmentsAndFallsWithTime) {
    EXPECT_EQ(gating(), (json{{"urgent", false}, {"gentle", false}}));
    monitor("I want to kill myself");
    EXPECT_EQ(gating()["urgent"], false);
    advance(120);
    monitor("I can't do this anymore");
    const json raised = gating();
    EXPECT_EQ(raised["urgent"], true);
    EXPECT_TRUE(raised["gentle"].is_boolean());

    advance(devserver::Gating::urgentWindowSeconds - 119);  // the first one has left the window
    EXPECT_EQ(gating()["urgent"], false);

    // Another device is not raised by this one's judgments.
    EXPECT_EQ(gating(pair())["urgent"], false);
}

TEST_F(DevServerTest, GentleGatingRisesAfterThreeSurfacedJudgments) {
    monitor("hopeless");
    monitor("lunch plans");  // surfaces nothing, does not count
    monitor("so alone");
    EXPECT_EQ(gating()["gentle"], false);
    advance(600);
    monitor("worthless");
    EXPECT_EQ(gating(), (json{{"urgent", false}, {"gentle", true}}));
    advance(devserver::Gating::gentleWindowSeconds - 599);
    EXPECT_EQ(gating()["gentle"], false);
}

TEST_F(DevServerTest, GentleGatingRisesOnAHardNightWhileTheReportIsFresh) {
    EXPECT_EQ(ok(post("/api/behavioral/log", behaviour)), (json{{"ok", true}}));
    EXPECT_EQ(gating()["gentle"], false);

    json night = json::parse(behaviour);
    night["late_night_min"] = 50;
    ok(post("/api/behavioral/log", night.dump()));
    EXPECT_EQ(gating()["gentle"], true);
    advance(devserver::Gating::behaviorFreshSeconds + 1);
    EXPECT_EQ(gating()["gentle"], false);

    json deleting = json::parse(behaviour);
    deleting["backspace_rate"] = 0.5;
    ok(post("/api/behavioral/log", deleting.dump()));
    EXPECT_EQ(gating()["gentle"], true);

    const auto latest = running->store->latestBehavior(Store::unpairedDevice);
    ASSERT_TRUE(latest);
    EXPECT_DOUBLE_EQ(latest->backspaceRate, 0.5);
    EXPECT_DOUBLE_EQ(latest->interruptions, 8.4);
    EXPECT_DOUBLE_EQ(latest->activeMinutes, 30);
}

TEST_F(DevServerTest, AppUsageTrackingFollowsTheDashboardToggle) {
    const std::string token = pair();
    const std::string id = std::to_string(*running->store->deviceForToken(token));
    EXPECT_EQ(ok(get("/api/agent_prefs", token)), (json{{"track_app_usage", false}}));

    auto res = setPrefs(id, "1");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), "/app");
    EXPECT_EQ(ok(get("/api/agent_prefs", token))["track_app_usage"], true);
    // The toggle is per device.
    EXPECT_EQ(ok(get("/api/agent_prefs"))["track_app_usage"], false);

    // A form posted from another site changes nothing; this server's own page may.
    res = setPrefs(id, "0", {{"Origin", "https://evil.example"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(ok(get("/api/agent_prefs", token))["track_app_usage"], true);
    res = setPrefs(id, "0", {{"Origin", "http://127.0.0.1:" + std::to_string(running->port)}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(ok(get("/api/agent_prefs", token))["track_app_usage"], false);

    ASSERT_TRUE((res = setPrefs("999", "1")));
    EXPECT_EQ(res->status, 404);
    ASSERT_TRUE((res = setPrefs(id, "yes")));
    EXPECT_EQ(res->status, 400);
    ASSERT_TRUE((res = setPrefs("1x", "1")));
    EXPECT_EQ(res->status, 400);
}

TEST_F(DevServerTest, AppUsageMergesAndTheDashboardEscapesNames) {
    const std::string hostile = "<script>alert(\"x\")</script>&'";
    ok(post("/api/app_usage/log", json{{"apps", {{hostile, 30.5}, {"Editor", 60}}}}.dump()));
    ok(post("/api/app_usage/log", json{{"apps", {{"Editor", 90}}}}.dump()));
    const auto usage = running->store->appUsage(Store::unpairedDevice, 10);
    ASSERT_EQ(usage.size(), 2u);
    EXPECT_EQ(usage[0].app, "Editor");
    EXPECT_DOUBLE_EQ(usage[0].seconds, 150);
    EXPECT_EQ(usage[1].app, hostile);

    auto page = get("/app");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body.find("<script>"), std::string::npos);
    EXPECT_NE(page->body.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;"), std::string::npos);
    EXPECT_NE(page->body.find("<td>Editor</td><td>2.5</td>"), std::string::npos);
    // The agent skips screens that name the product and a dashboard feature.
    EXPECT_NE(page->body.find("Wellspire"), std::string::npos);
    EXPECT_NE(page->body.find("Snapshots"), std::string::npos);
}

TEST_F(DevServerTest, DashboardShowsEachDevicesRecord) {
    const std::string token = pair();
    monitor("hopeless", token);
    ok(post("/api/behavioral/log", behaviour, token));
    auto page = get("/app");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("This computer (not paired)"), std::string::npos);
    EXPECT_NE(page->body.find("<td>elevated</td><td>gentle</td>"), std::string::npos);
    EXPECT_NE(page->body.find("<tr><th>Interruptions</th><td>8.4</td></tr>"), std::string::npos);
    EXPECT_NE(page->body.find("Turn app usage tracking on"), std::string::npos);
    // Tokens never appear on a page.
    EXPECT_EQ(page->body.find(token), std::string::npos);
}

TEST_F(DevServerTest, SupportPageOffersTheCrisisLine) {
    auto page = get("/chat");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("Call or text 988"), std::string::npos);
}

TEST_F(DevServerTest, AnswersOnlyUnderALoopbackName) {
    auto res = client().Get("/app", {{"Host", "attacker.example:5055"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = client().Get("/api/me", {{"Host", "localhost:5055"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    res = get("/no/such/page");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
}

// The kernel's socket tables: each listening socket's local address, in hex as the kernel keeps it.
static std::vector<std::string> listeningAddresses(const std::string& table, int port) {
    std::ifstream in(table);
    std::vector<std::string> out;
    std::string line;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, portHex) == 0)
            out.push_back(local.substr(0, local.size() - 5));
    }
    return out;
}

TEST_F(DevServerTest, ListensOnTheLoopbackAddressAlone) {
    // 127.0.0.1 as /proc/net/tcp prints it on a little-endian machine; no IPv6 socket at all.
    EXPECT_EQ(listeningAddresses("/proc/net/tcp", running->port), std::vector<std::string>{"0100007F"});
    EXPECT_TRUE(listeningAddresses("/proc/net/tcp6", running->port).empty());
}

TEST_F(DevServerTest, StatePersistsAcrossARestart) {
    const std::string token = pair();
    const std::string id = std::to_string(*running->store->deviceForToken(token));
    ASSERT_EQ(setPrefs(id, "1")->status, 303);
    ok(post("/api/app_usage/log", R"({"apps": {"Editor": 40}})", token));
    monitor("I want to kill myself", token);
    monitor("I want to kill myself", token);
    ok(post("/api/behavioral/log", behaviour, token));

    restart();

    EXPECT_EQ(ok(get("/api/agent_prefs", token))["track_app_usage"], true);
    EXPECT_EQ(gating(token)["urgent"], true);
    ok(post("/api/app_usage/log", R"({"apps": {"Editor": 20}})", token));
    const auto device = running->store->deviceForToken(token);
    ASSERT_TRUE(device);
    const auto usage = running->store->appUsage(*device, 10);
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_DOUBLE_EQ(usage[0].seconds, 60);
    EXPECT_TRUE(running->store->latestBehavior(*device));
    EXPECT_EQ(running->store->recentJudgments(*device, 10).size(), 2u);
}

TEST_F(DevServerTest, ConcurrentReportsAreAllKept) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 10; ++i) post("/api/app_usage/log", R"({"apps": {"Editor": 1}})");
        });
    }
    for (auto& t : threads) t.join();
    const auto usage = running->store->appUsage(Store::unpairedDevice, 10);
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_DOUBLE_EQ(usage[0].seconds, 40);
}

namespace {

// A loopback listener made by hand with one socket option; `port` 0 takes any free one.
int rawListener(int port, int option, int* bound) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, option, &yes, sizeof yes);
    sockaddr_in addr{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0) return -1;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *bound = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

TEST_F(DevServerTest, ThePortIsNeverSharedYetFreeAgainWhileTheLastConnectionsLinger) {
    DevServer second(running->store, PhraseList::loadDefault());
    EXPECT_EQ(second.bind(running->port), -1);
    EXPECT_EQ(second.bindError(), std::strerror(EADDRINUSE));
    // Not even beside a listener that offers to share (what the library sets by default).
    int port = 0;
    const int sharing = rawListener(0, SO_REUSEPORT, &port);
    EXPECT_EQ(second.bind(port), -1);
    ::close(sharing);

    // Another server closed its side of a connection first, then quit: the connection waits out
    // TIME_WAIT on the port, and the server binds all the same.
    const int other = rawListener(0, SO_REUSEADDR, &port);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(::accept(other, nullptr, nullptr));
    char byte;
    EXPECT_EQ(::recv(client, &byte, 1, 0), 0);
    ::close(client);
    ::close(other);
    EXPECT_EQ(second.bind(port), port) << second.bindError();
}
