#pragma once
#include <string>

// Where the backend lives. Both values are read and written whole, under one lock.
namespace Config {

inline constexpr const char* kLocalDevelopmentServer = "http://127.0.0.1:5055";
inline constexpr int kLocalDevelopmentPort = 5055;
inline constexpr double kHostedProbeTimeout = 4.0;
inline constexpr double kLocalProbeTimeout = 1.5;
inline constexpr double kProbeWaitMargin = 0.5;
// The longest a resolution takes: both hosted waits and the local one.
inline constexpr double kResolutionBound =
    2 * (kHostedProbeTimeout + kProbeWaitMargin) + kLocalProbeTimeout + kProbeWaitMargin;

// Base of every API request.
std::string backend();
void setBackend(const std::string& value);
// Base of the hosted service and of every browser page.
std::string hostedBackend();
void setHostedBackend(const std::string& value);

// The two hosted base URLs, fixed at build time.
std::string primaryHostedURL();
std::string fallbackHostedURL();
// Replaces the hosted base URLs and restores both fields to their initial values.
// Used by tests that stand loopback servers in for the hosted service.
void resetForTesting(const std::string& primary, const std::string& fallback);

// "<application support>/Wellspire/backend.txt".
std::string overrideFilePath();

}  // namespace Config

// Sets both base URLs: probes the hosted service, honours the override file and, when
// unpaired, prefers a local development server of this user that answers. Blocks for its probes
// and the paired test (together at most 4.5 + 4.5 + 2.0 seconds) and writes exactly one log line.
void resolveBackend();
// True when base + "/api/me" answers HTTP 200 within `timeout` (waiting at most timeout + 0.5 s).
bool probe(const std::string& base, double timeout);
// True when a URL text read from the override file may become the backend.
bool isAllowedBackendOverride(const std::string& text);
