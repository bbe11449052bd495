#include "backend/Backend.h"

#include <cmath>

#include "backend/Config.h"
#include "backend/Url.h"
#include "pairing/DeviceAuth.h"
#include "pairing/KeychainStore.h"
#include "platform/Platform.h"

namespace Backend {
namespace {

bool allFinite(const Json& v) {
    if (v.is_number_float()) return std::isfinite(v.get<double>());
    if (v.is_structured())
        for (const auto& child : v)
            if (!allFinite(child)) return false;
    return true;
}

// A header value may not carry line breaks or NULs; such a token is not sent at all.
bool safeHeaderValue(const std::string& value) {
    return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

void addToken(platform::HttpRequest& request) {
    const auto token = KeychainStore::read(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount);
    if (token && !token->empty() && safeHeaderValue(*token)) request.headers.emplace_back("X-Device-Token", *token);
}

void send(platform::HttpRequest request, Completion completion) {
    platform::get().http->send(std::move(request), [completion = std::move(completion)](platform::HttpResponse r) {
        completion(decodeReply(r));
    });
}

}  // namespace

std::optional<std::string> encode(const Json& body) {
    if (!allFinite(body)) return std::nullopt;
    try {
        return body.dump();
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

std::optional<Json> decodeReply(const platform::HttpResponse& response) {
    if (!response.body || response.body->empty()) return std::nullopt;
    // Copying a JSON value recurses once per level, so a reply nested thousands deep would
    // exhaust the stack of the handler that copies part of it. Such a reply is refused whole.
    bool tooDeep = false;
    Json parsed = Json::parse(
        *response.body,
        [&tooDeep](int depth, Json::parse_event_t, Json&) {
            if (depth > kMaxReplyDepth) tooDeep = true;
            return !tooDeep;
        },
        false);
    if (tooDeep || parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

void post(const std::string& path, const Json& body, Completion completion) {
    const std::string url = Config::backend() + path;
    if (!Url::parse(url)) {
        completion(std::nullopt);
        return;
    }
    auto encoded = encode(body);
    if (!encoded) {
        completion(std::nullopt);
        return;
    }
    platform::HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers.emplace_back("Content-Type", "application/json");
    addToken(request);
    request.body = std::move(*encoded);
    request.timeoutSeconds = kTimeoutSeconds;
    send(std::move(request), std::move(completion));
}

void get(const std::string& path, Completion completion) {
    const std::string url = Config::backend() + path;
    if (!Url::parse(url)) {
        completion(std::nullopt);
        return;
    }
    platform::HttpRequest request;
    request.method = "GET";
    request.url = url;
    addToken(request);
    request.timeoutSeconds = kTimeoutSeconds;
    send(std::move(request), std::move(completion));
}

void log(const Json& body) {
    post("/api/behavioral/log", body, [](std::optional<Json>) {});
}

void logAppUsage(const std::map<std::string, double>& apps) {
    Json map = Json::object();
    for (const auto& [name, seconds] : apps) map[name] = seconds;
    post("/api/app_usage/log", Json{{"apps", map}}, [](std::optional<Json>) {});
}

}  // namespace Backend
