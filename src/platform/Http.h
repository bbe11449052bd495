#pragma once
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order they are sent
    std::string body;                                          // sent only when method is POST
    double timeoutSeconds = 60.0;

    std::optional<std::string> header(const std::string& name) const {
        for (const auto& [k, v] : headers)
            if (k == name) return v;
        return std::nullopt;
    }
};

struct HttpResponse {
    long status = 0;                  // 0 when no HTTP response arrived
    std::optional<std::string> body;  // nothing on a transport error, a timeout or an oversized body
    std::string error;                // human-readable transport error, empty on success
};

using HttpCompletion = std::function<void(HttpResponse)>;

// One HTTP client. Redirects are never followed. Every completion runs on one serial
// background queue, one at a time, never on the main thread; each is called exactly once.
class Http {
public:
    virtual ~Http() = default;
    virtual void send(HttpRequest request, HttpCompletion completion) = 0;
    // True on the serial queue that runs the completions.
    virtual bool isCallbackQueue() const = 0;
};

// Largest reply body that is buffered; a larger body reaches the completion as nothing.
inline constexpr std::size_t kMaxReplyBytes = 4u * 1024u * 1024u;

}  // namespace platform
