#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Clock.h"

inline constexpr const char* kLogPath = "/tmp/wellspire-agent.log";

// Appends "<UTC time>  <message>\n" to the diagnostic log. Any thread; never fails towards the caller.
void wsLog(const std::string& message);

// A value from a backend reply as it goes into a log line: whole when short, else cut at
// kMaxLogValueBytes (never inside a UTF-8 sequence) and marked with "…", so that no reply can
// make the log grow faster than the lines themselves.
inline constexpr std::size_t kMaxLogValueBytes = 200;
std::string logValue(std::string_view value);

// An ISO 8601 internet date-time in UTC with whole seconds, e.g. 2026-12-06T03:46:32Z.
std::string iso8601(platform::TimePoint t);
