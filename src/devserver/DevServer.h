#pragma once

#include "devserver/PhraseList.h"
#include "devserver/Store.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace devserver {

// The HTTP side: the agent's API under /api and the browser pages. Binds the loopback
// address only. Each request is handled on one of the server's threads; nothing a request
// sends can take the server down: every handler's failure becomes an error reply.
class DevServer {
public:
    using Clock = std::function<std::int64_t()>;  // seconds since the epoch
    using Logger = std::function<void(const std::string&)>;

    static constexpr const char* host = "127.0.0.1";
    static constexpr std::size_t maxBodyBytes = 1024 * 1024;
    static constexpr int recentJudgmentsShown = 10;
    static constexpr int appsShown = 25;

    // An empty clock means the system clock; an empty logger logs nothing.
    DevServer(std::shared_ptr<Store> store, PhraseList phrases, Clock clock = {}, Logger log = {});
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    // Binds host:port alone (no other listener may share it); port 0 takes any free one. Returns
    // the bound port, or -1 and the reason in bindError().
    int bind(int port);
    const std::string& bindError() const { return bindError_; }
    // Serves until stop(); returns false when it could not serve at all.
    bool serve();
    void stop();
    bool running() const;

private:
    static std::string whyNotBindable(int port);
    static void reuseAddress(int fd);
    void installRoutes();
    std::int64_t deviceFor(const httplib::Request& req) const;

    void me(const httplib::Request&, httplib::Response&);
    void monitor(const httplib::Request&, httplib::Response&);
    void scan(const httplib::Request&, httplib::Response&);
    void behavioralLog(const httplib::Request&, httplib::Response&);
    void appUsageLog(const httplib::Request&, httplib::Response&);
    void agentPrefs(const httplib::Request&, httplib::Response&);
    void gating(const httplib::Request&, httplib::Response&);
    void pairPage(const httplib::Request&, httplib::Response&);
    void pair(const httplib::Request&, httplib::Response&);
    void dashboard(const httplib::Request&, httplib::Response&);
    void setPrefs(const httplib::Request&, httplib::Response&);
    void chat(const httplib::Request&, httplib::Response&);

    std::shared_ptr<Store> store_;
    PhraseList phrases_;
    Clock clock_;
    Logger log_;
    // A judgment reads the device's recent ones before adding its own.
    std::mutex judgeMutex_;
    std::unique_ptr<httplib::Server> http_;
    std::string bindError_;
};

}  // namespace devserver
