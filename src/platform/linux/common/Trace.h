#pragma once
// An opt-in record of how long the main thread spends in each task and when launch milestones
// happen, for measuring the agent as it runs: set WS_TRACE to a file and it is rewritten every
// couple of seconds. Without WS_TRACE every call returns at once.
#include <chrono>
#include <string>

namespace linuxplatform::trace {

bool enabled();
// The first time `name` happens, in milliseconds since the process started.
void mark(const std::string& name);
// One main-thread task of the given kind took `took`.
void task(const std::string& kind, std::chrono::steady_clock::duration took);
// A diagnostic log line: the first line of each kind is a mark (the words before ':' or '=').
void logLine(const std::string& line);

}  // namespace linuxplatform::trace
