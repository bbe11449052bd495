#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Http.h"

// JSON over HTTP to Config::backend(). One request per call, no retries. The completion is
// called exactly once: with the reply object, or with nothing when there is no usable reply.
// It runs on the HTTP callback queue, except for the two early failures (no URL, body that
// cannot be encoded), where it runs on the calling thread before the call returns.
namespace Backend {

using Json = nlohmann::json;
using Completion = std::function<void(std::optional<Json>)>;

inline constexpr double kTimeoutSeconds = 8.0;

void post(const std::string& path, const Json& body, Completion completion);
void get(const std::string& path, Completion completion);
// Fire-and-forget reports.
void log(const Json& body);
void logAppUsage(const std::map<std::string, double>& apps);

// Far deeper than any reply; a value inside a reply is at most this many levels down.
inline constexpr int kMaxReplyDepth = 32;

// The reply as a JSON object, or nothing (no body, not JSON, not an object, nested too deep).
std::optional<Json> decodeReply(const platform::HttpResponse& response);
// Compact JSON, or nothing when the value cannot be encoded (a non-finite number, invalid UTF-8).
std::optional<std::string> encode(const Json& body);

}  // namespace Backend
