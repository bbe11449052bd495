#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Workspace.h"

class QSocketNotifier;

namespace linuxplatform {

// One agent per user: the running agent listens on a socket in an owner-only folder of
// $XDG_RUNTIME_DIR; a later launch hands its URL over, or an empty line when it has none (the user
// opened the agent again), and exits. Connections from
// another user are dropped. A connection carries at most one URL: the bytes up to the first
// newline or the end of the stream, at most kMaxUrlBytes, within the read timeout; anything
// else on it is ignored. Reading never blocks the GUI thread.
class UrlEventServer final : public platform::UrlEvents {
public:
    explicit UrlEventServer(int readTimeoutMs = kReadTimeoutMs);
    ~UrlEventServer() override;
    UrlEventServer(const UrlEventServer&) = delete;
    UrlEventServer& operator=(const UrlEventServer&) = delete;
    void setGetURLHandler(std::function<void(const std::optional<std::string>&)> handler) override;
    // Called when a launch without a URL found this agent running.
    void setReopenHandler(std::function<void()> handler) { reopen_ = std::move(handler); }

    // Starts listening on the GUI thread. False when another agent already listens.
    bool listen();
    // Stops listening, drops open connections and removes the socket.
    void stop();
    // A URL for the handler; queued (at most kMaxQueued) until a handler is set.
    void deliver(const std::string& url);

    // The per-user socket path; creates its 0700 folder. Nothing when no safe folder exists.
    static std::optional<std::string> socketPath();
    // Hands `url` (possibly nothing: the agent opened again) to a running agent. True when one took
    // it. A URL that could never arrive whole (too long, or holding a newline or NUL) is not sent; the
    // agent is only asked whether it runs.
    static bool handOff(const std::optional<std::string>& url);

    // Connections being read right now.
    std::size_t openConnections() const { return connections_.size(); }

    static constexpr std::size_t kMaxUrlBytes = 8192;
    static constexpr int kReadTimeoutMs = 2000;
    static constexpr std::size_t kMaxConnections = 8;
    static constexpr std::size_t kMaxQueued = 8;

private:
    struct Connection;
    void accept();
    void readFrom(Connection* connection);
    // Closes the connection; delivers what it carried when `complete`.
    void finish(Connection* connection, bool complete);

    int fd_ = -1;
    std::string path_;
    int readTimeoutMs_;
    QSocketNotifier* notifier_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::function<void(const std::optional<std::string>&)> handler_;
    std::function<void()> reopen_;
    std::deque<std::string> queued_;
};

}  // namespace linuxplatform
