#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Workspace.h"

class QSocketNotifier;

namespace linuxplatform {

// One agent per user: the running agent listens on a socket in an owner-only folder of
// $XDG_RUNTIME_DIR; a later launch hands its URL (if any) over and exits. Connections from
// another user are dropped.
class UrlEventServer final : public platform::UrlEvents {
public:
    UrlEventServer();
    ~UrlEventServer() override;
    void setGetURLHandler(std::function<void(const std::optional<std::string>&)> handler) override;

    // Starts listening on the GUI thread. False when another agent already listens.
    bool listen();
    // Stops listening and removes the socket.
    void stop();
    // A URL for the handler; queued until a handler is set.
    void deliver(const std::string& url);

    // The per-user socket path; creates its 0700 folder. Nothing when no safe folder exists.
    static std::optional<std::string> socketPath();
    // Hands `url` (possibly nothing) to a running agent. True when one took it.
    static bool handOff(const std::optional<std::string>& url);

    static constexpr std::size_t kMaxUrlBytes = 8192;

private:
    void accept();

    int fd_ = -1;
    std::string path_;
    QSocketNotifier* notifier_ = nullptr;
    std::function<void(const std::optional<std::string>&)> handler_;
    std::deque<std::string> queued_;
};

}  // namespace linuxplatform
