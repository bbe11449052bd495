#pragma once
#include <string>

#include "platform/Clock.h"

inline constexpr const char* kLogPath = "/tmp/wellspire-agent.log";

// Appends "<UTC time>  <message>\n" to the diagnostic log. Any thread; never fails towards the caller.
void wsLog(const std::string& message);

// An ISO 8601 internet date-time in UTC with whole seconds, e.g. 2026-12-06T03:46:32Z.
std::string iso8601(platform::TimePoint t);
