// The libcurl client against a loopback server in this process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "backend/Backend.h"
#include "backend/Config.h"
#include "pairing/DeviceAuth.h"
#include "pairing/KeychainStore.h"
#include "platform/Platform.h"
#include "platform/linux/net/CurlHttp.h"
#include "platform/linux/secrets/FileSecretStore.h"
#include "platform/linux/common/PosixFacilities.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Collects completions, checks they never overlap, and lets the test wait for them.
struct Completions {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<platform::HttpResponse> responses;
    std::set<std::thread::id> threads;
    bool allOnCallbackQueue = true;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};

    platform::HttpCompletion make(platform::Http& http) {
        return [this, &http](platform::HttpResponse r) {
            if (running.fetch_add(1) != 0) overlapped = true;
            std::this_thread::sleep_for(1ms);  // widens the window in which an overlap would show
            // Nothing of this object is touched once the lock is released: a waiter that saw the
            // last response may destroy it at once.
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            allOnCallbackQueue = allOnCallbackQueue && http.isCallbackQueue();
            responses.push_back(std::move(r));
            running.fetch_sub(1);
            cv.notify_all();
        };
    }
    bool waitFor(std::size_t n, std::chrono::milliseconds timeout = 15s) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return responses.size() >= n; });
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return responses.size();
    }
};

// Header names as the server saw them, without the pseudo-headers cpp-httplib adds itself.
std::set<std::string> headerNames(const httplib::Request& req) {
    std::set<std::string> names;
    for (const auto& [name, value] : req.headers)
        if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT")
            names.insert(name);
    return names;
}

// A loopback port on which nothing listens.
int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

platform::HttpRequest request(std::string method, std::string url, double timeout = 8,
                              std::vector<std::pair<std::string, std::string>> headers = {}, std::string body = "") {
    platform::HttpRequest r;
    r.method = std::move(method);
    r.url = std::move(url);
    r.headers = std::move(headers);
    r.body = std::move(body);
    r.timeoutSeconds = timeout;
    return r;
}

class CurlHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.Get("/hello", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content("{\"ok\":true}", "application/json");
        });
        server.Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content(req.body, "application/json");
        });
        server.Get("/moved", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.status = 302;
            res.set_header("Location", "/hello");
        });
        server.Get("/fails", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content("{\"error\":\"boom\"}", "application/json");
        });
        // Holds the reply until the test ends (or for at most 10 s).
        server.Get("/slow", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            std::unique_lock lock(mutex);
            slowEntered = true;
            cv.notify_all();
            cv.wait_for(lock, 10s, [this] { return releaseSlow; });
            res.set_content("late", "text/plain");
        });
        server.Get("/huge", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(platform::kMaxReplyBytes + 1, 'x'), "text/plain");
        });
        // No Content-Length: the limit must hold while the body streams in.
        server.Get("/huge-chunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
                if (offset > platform::kMaxReplyBytes) {
                    sink.done();
                    return true;
                }
                const std::string chunk(64 * 1024, 'y');
                return sink.write(chunk.data(), chunk.size());
            });
        });
        server.Get("/exact", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(platform::kMaxReplyBytes, 'x'), "text/plain");
        });
        // Enough workers that connections parked in keep-alive never make requests queue.
        server.new_task_queue = [] { return new httplib::ThreadPool(64); };
        server.set_keep_alive_timeout(1);
        // The library listens with a backlog of 5: fifty clients connecting at once overflow it,
        // and their dropped connects are retried together after 1, 3 and 7 s, past the timeout.
        server.set_socket_options([this](int sock) {
            httplib::default_socket_options(sock);
            listening = sock;
        });
        port = server.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        ASSERT_EQ(::listen(listening, SOMAXCONN), 0);
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(1ms);
    }
    void TearDown() override {
        {
            std::lock_guard lock(mutex);
            releaseSlow = true;
        }
        cv.notify_all();
        server.stop();
        if (thread.joinable()) thread.join();
    }
    void record(const httplib::Request& req) {
        std::lock_guard lock(mutex);
        seen.push_back(req);
    }
    std::vector<httplib::Request> requestsTo(const std::string& path) {
        std::lock_guard lock(mutex);
        std::vector<httplib::Request> out;
        for (const auto& r : seen)
            if (r.path == path) out.push_back(r);
        return out;
    }
    bool waitForSlow() {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s, [this] { return slowEntered; });
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

    httplib::Server server;
    std::thread thread;
    int port = 0;
    int listening = -1;
    std::mutex mutex;
    std::condition_variable cv;
    bool slowEntered = false;
    bool releaseSlow = false;
    std::vector<httplib::Request> seen;
};

TEST_F(CurlHttpTest, OnlyTheGivenHeadersAndBodyGoOut) {
    Completions done;  // outlives the client, whose destructor may still complete requests
    linuxplatform::CurlHttp http;
    // A body on a GET is not sent.
    http.send(request("GET", url("/hello"), 8, {{"X-Device-Token", "abc d"}, {"X-Second", "2"}}, "ignored"),
              done.make(http));
    ASSERT_TRUE(done.waitFor(1));
    http.send(request("POST", url("/echo"), 8, {{"Content-Type", "application/json"}, {"X-Device-Token", "t"}},
                      "{\"text\":\"h\xC3\xA9\"}"),
              done.make(http));
    ASSERT_TRUE(done.waitFor(2));
    // Without a Content-Type of its own a POST carries none (curl would add a form type).
    http.send(request("POST", url("/echo")), done.make(http));
    ASSERT_TRUE(done.waitFor(3));

    const auto gets = requestsTo("/hello");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].method, "GET");
    EXPECT_EQ(headerNames(gets[0]), (std::set<std::string>{"Host", "X-Device-Token", "X-Second"}));
    EXPECT_EQ(gets[0].get_header_value("X-Device-Token"), "abc d");
    EXPECT_EQ(gets[0].body, "");

    const auto posts = requestsTo("/echo");
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].method, "POST");
    EXPECT_EQ(headerNames(posts[0]), (std::set<std::string>{"Host", "Content-Type", "Content-Length", "X-Device-Token"}));
    EXPECT_EQ(posts[0].get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(posts[0].body, "{\"text\":\"h\xC3\xA9\"}");
    EXPECT_EQ(headerNames(posts[1]), (std::set<std::string>{"Host", "Content-Length"}));
    EXPECT_EQ(posts[1].get_header_value("Content-Length"), "0");

    ASSERT_EQ(done.responses.size(), 3u);
    EXPECT_EQ(done.responses[0].status, 200);
    EXPECT_EQ(done.responses[0].body, "{\"ok\":true}");
    EXPECT_EQ(done.responses[0].error, "");
    EXPECT_EQ(done.responses[1].body, "{\"text\":\"h\xC3\xA9\"}");
    // An empty reply is a body, not a failure.
    EXPECT_EQ(done.responses[2].body, "");
}

TEST_F(CurlHttpTest, HeadersThatWouldSplitAndOtherSchemesAreNeverSent) {
    Completions done;
    linuxplatform::CurlHttp http;
    http.send(request("GET", url("/hello"), 8, {{"X-Device-Token", "a\r\nX-Injected: 1"}}), done.make(http));
    http.send(request("GET", "file:///etc/hostname"), done.make(http));
    http.send(request("DELETE", url("/hello")), done.make(http));
    ASSERT_TRUE(done.waitFor(3));
    for (const auto& r : done.responses) {
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(r.body);
        EXPECT_FALSE(r.error.empty());
    }
    EXPECT_TRUE(requestsTo("/hello").empty());
}

TEST_F(CurlHttpTest, RedirectReachesTheCompletionAsIs) {
    Completions done;
    linuxplatform::CurlHttp http;
    http.send(request("GET", url("/moved")), done.make(http));
    http.send(request("GET", url("/fails")), done.make(http));
    ASSERT_TRUE(done.waitFor(2));
    const auto& moved = done.responses[0].status == 302 ? done.responses[0] : done.responses[1];
    const auto& failed = done.responses[0].status == 302 ? done.responses[1] : done.responses[0];
    EXPECT_EQ(moved.status, 302);
    EXPECT_TRUE(moved.body);
    EXPECT_EQ(moved.error, "");
    EXPECT_TRUE(requestsTo("/hello").empty());
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.body, "{\"error\":\"boom\"}");
}

TEST_F(CurlHttpTest, TimeoutIsTheWholeRequest) {
    Completions done;
    linuxplatform::CurlHttp http;
    const auto t0 = Clock::now();
    http.send(request("GET", url("/slow"), 1.0), done.make(http));
    ASSERT_TRUE(done.waitFor(1, 5s));
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 2500ms);
    EXPECT_EQ(done.responses[0].status, 0);
    EXPECT_FALSE(done.responses[0].body);
    EXPECT_FALSE(done.responses[0].error.empty());
}

TEST_F(CurlHttpTest, RepliesOverTheLimitAndRefusedConnectionsCompleteWithNothing) {
    Completions done;
    linuxplatform::CurlHttp http;
    http.send(request("GET", url("/huge")), done.make(http));
    ASSERT_TRUE(done.waitFor(1));
    http.send(request("GET", url("/huge-chunked")), done.make(http));
    ASSERT_TRUE(done.waitFor(2));
    http.send(request("GET", url("/exact")), done.make(http));
    ASSERT_TRUE(done.waitFor(3));
    http.send(request("GET", "http://127.0.0.1:" + std::to_string(closedPort()) + "/x"), done.make(http));
    ASSERT_TRUE(done.waitFor(4));

    for (int i : {0, 1}) {
        EXPECT_EQ(done.responses[i].status, 200) << i;
        EXPECT_FALSE(done.responses[i].body) << i;
        EXPECT_FALSE(done.responses[i].error.empty()) << i;
    }
    ASSERT_TRUE(done.responses[2].body);
    EXPECT_EQ(done.responses[2].body->size(), platform::kMaxReplyBytes);
    EXPECT_EQ(done.responses[3].status, 0);
    EXPECT_FALSE(done.responses[3].body);
    EXPECT_FALSE(done.responses[3].error.empty());
}

TEST_F(CurlHttpTest, ManyRequestsFromManyThreadsCompleteOnceEachOnOneThreadOneAtATime) {
    Completions done;
    std::atomic<int> chained{0};
    std::atomic<bool> chainEnded{false};
    {
        linuxplatform::CurlHttp http;
        std::vector<std::thread> senders;
        for (int t = 0; t < 5; ++t)
            senders.emplace_back([&] {
                for (int i = 0; i < 10; ++i) http.send(request("GET", url("/hello")), done.make(http));
            });
        for (auto& s : senders) s.join();
        // A request sent from inside a completion, as the screen text judgment does.
        http.send(request("GET", url("/hello")), [&](platform::HttpResponse) {
            http.send(request("GET", url("/hello")), [&](platform::HttpResponse r) {
                if (r.status == 200 && http.isCallbackQueue()) ++chained;
                chainEnded = true;
            });
        });
        ASSERT_TRUE(done.waitFor(50));
        // The chained pair is not counted by done; destroying the client early would fail it.
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (!chainEnded && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(http.isCallbackQueue());
    }
    // The client is gone: nothing more can arrive, so the counts are final.
    EXPECT_EQ(done.count(), 50u);
    EXPECT_EQ(chained.load(), 1);
    EXPECT_TRUE(done.allOnCallbackQueue);
    EXPECT_EQ(done.threads.size(), 1u);
    EXPECT_FALSE(done.overlapped.load());
    for (const auto& r : done.responses) EXPECT_EQ(r.status, 200) << r.error;
}

TEST_F(CurlHttpTest, RequestsInFlightAtDestructionFailOnce) {
    Completions done;
    std::optional<linuxplatform::CurlHttp> http;
    http.emplace();
    http->send(request("GET", url("/slow"), 8), done.make(*http));
    ASSERT_TRUE(waitForSlow());
    const auto t0 = Clock::now();
    http.reset();
    const auto teardown = Clock::now() - t0;
    ASSERT_EQ(done.count(), 1u);
    EXPECT_EQ(done.responses[0].status, 0);
    EXPECT_FALSE(done.responses[0].body);
    EXPECT_FALSE(done.responses[0].error.empty());
    EXPECT_LT(teardown, 1s);
}

TEST_F(CurlHttpTest, BackendRequestsCarryTheStoredTokenEndToEnd) {
    char pattern[] = "/tmp/ws-http-secrets.XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    platform::Services s;
    s.clock = std::make_shared<linuxplatform::SystemClock>();
    auto http = std::make_shared<linuxplatform::CurlHttp>();
    s.http = http;
    s.worker = std::make_shared<linuxplatform::ThreadWorker>();
    s.semaphores = std::make_shared<linuxplatform::StdSemaphores>();
    s.secrets = std::make_shared<linuxplatform::FileSecretStore>(root + "/secrets");
    s.files = std::make_shared<linuxplatform::PosixFiles>(root);
    platform::install(s);
    Config::setBackend(url(""));
    ASSERT_TRUE(DeviceAuth::completePairing("wellspire://pair?token=tok%2B1%C3%A9"));

    struct Reply {
        std::mutex m;
        std::condition_variable cv;
        std::optional<nlohmann::json> value;
        bool called = false;
        bool onCallbackQueue = false;
    };
    auto await = [&](auto start) {
        auto reply = std::make_shared<Reply>();
        // Not the client itself: a completion the client's thread lets go last would end the client there.
        linuxplatform::CurlHttp* client = http.get();
        start([reply, client](std::optional<nlohmann::json> r) {
            std::lock_guard lock(reply->m);
            reply->value = std::move(r);
            reply->called = true;
            reply->onCallbackQueue = client->isCallbackQueue();
            reply->cv.notify_all();
        });
        std::unique_lock lock(reply->m);
        EXPECT_TRUE(reply->cv.wait_for(lock, 15s, [&] { return reply->called; }));
        EXPECT_TRUE(reply->onCallbackQueue);
        return reply->value;
    };

    const auto echoed = await([](Backend::Completion c) { Backend::post("/echo", {{"text", "h\xC3\xA9llo"}}, c); });
    ASSERT_TRUE(echoed);
    EXPECT_EQ((*echoed)["text"], "h\xC3\xA9llo");
    const auto posts = requestsTo("/echo");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].get_header_value("X-Device-Token"), "tok+1\xC3\xA9");
    EXPECT_EQ(posts[0].get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(nlohmann::json::parse(posts[0].body), (nlohmann::json{{"text", "h\xC3\xA9llo"}}));

    // A JSON object under an error status is still a reply.
    const auto failed = await([](Backend::Completion c) { Backend::get("/fails", c); });
    ASSERT_TRUE(failed);
    EXPECT_EQ((*failed)["error"], "boom");

    // After a disconnect the very next request goes out without the token.
    KeychainStore::remove(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount);
    const auto hello = await([](Backend::Completion c) { Backend::get("/hello", c); });
    ASSERT_TRUE(hello);
    const auto gets = requestsTo("/hello");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_FALSE(gets[0].has_header("X-Device-Token"));
    EXPECT_FALSE(gets[0].has_header("Content-Type"));

    platform::install({});
    std::filesystem::remove_all(root);
}

}  // namespace
