#include "backend/Config.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "backend/Log.h"
#include "backend/Text.h"
#include "backend/Url.h"
#include "pairing/DeviceAuth.h"
#include "platform/Platform.h"

namespace Config {
namespace {

struct State {
    std::mutex mutex;
    std::string primary = WS_PRIMARY_HOSTED_URL;
    std::string fallback = WS_FALLBACK_HOSTED_URL;
    std::string hosted = WS_PRIMARY_HOSTED_URL;
    std::string backend = kLocalDevelopmentServer;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

std::string backend() {
    std::lock_guard lock(state().mutex);
    return state().backend;
}
void setBackend(const std::string& value) {
    std::lock_guard lock(state().mutex);
    state().backend = value;
}
std::string hostedBackend() {
    std::lock_guard lock(state().mutex);
    return state().hosted;
}
void setHostedBackend(const std::string& value) {
    std::lock_guard lock(state().mutex);
    state().hosted = value;
}
std::string primaryHostedURL() {
    std::lock_guard lock(state().mutex);
    return state().primary;
}
std::string fallbackHostedURL() {
    std::lock_guard lock(state().mutex);
    return state().fallback;
}
void resetForTesting(const std::string& primary, const std::string& fallback) {
    std::lock_guard lock(state().mutex);
    state().primary = primary;
    state().fallback = fallback;
    state().hosted = primary;
    state().backend = kLocalDevelopmentServer;
}

std::string overrideFilePath() {
    return platform::get().files->applicationSupportDirectory() + "/Wellspire/backend.txt";
}

}  // namespace Config

bool probe(const std::string& base, double timeout) {
    const std::string url = base + "/api/me";
    if (!Url::parse(url)) return false;

    // The reply is recorded only while the waiter still listens; a late one changes nothing.
    struct Outcome {
        std::mutex mutex;
        bool waiting = true;
        bool answered = false;
    };
    auto outcome = std::make_shared<Outcome>();
    auto semaphore = platform::get().semaphores->make();

    platform::HttpRequest request;
    request.method = "GET";
    request.url = url;
    request.timeoutSeconds = timeout;
    platform::get().http->send(std::move(request), [outcome, semaphore](platform::HttpResponse response) {
        {
            std::lock_guard lock(outcome->mutex);
            if (outcome->waiting) outcome->answered = response.status == 200;
        }
        semaphore->signal();
    });
    semaphore->wait(timeout + Config::kProbeWaitMargin);
    std::lock_guard lock(outcome->mutex);
    outcome->waiting = false;
    return outcome->answered;
}

bool isAllowedBackendOverride(const std::string& text) {
    const auto url = Url::parse(text);
    // A user part would reach every request as credentials and the log line as written.
    if (!url || !url->host || url->hasUserInfo) return false;
    if (url->scheme == "http" && (*url->host == "127.0.0.1" || *url->host == "localhost")) return true;
    if (url->scheme != "https") return false;
    for (const std::string& hosted : {Config::primaryHostedURL(), Config::fallbackHostedURL()}) {
        const auto allowed = Url::parse(hosted);
        if (allowed && allowed->host && *allowed->host == *url->host) return true;
    }
    return false;
}

namespace {
bool localServerUp() {
    if (!probe(Config::kLocalDevelopmentServer, Config::kLocalProbeTimeout)) return false;
    // Another user of the machine may hold the port: only our own server counts.
    const auto& listeners = platform::get().loopbackListeners;
    return listeners && listeners->ownedBySelf(Config::kLocalDevelopmentPort);
}
}  // namespace

void resolveBackend() {
    const platform::TimePoint started = platform::clock().now();

    // 1. The hosted service: primary, else fallback, else whatever was chosen before.
    const std::string primary = Config::primaryHostedURL();
    const std::string fallback = Config::fallbackHostedURL();
    if (probe(primary, Config::kHostedProbeTimeout)) {
        Config::setHostedBackend(primary);
    } else if (probe(fallback, Config::kHostedProbeTimeout)) {
        Config::setHostedBackend(fallback);
    }

    // 2. The override file.
    if (auto bytes = platform::get().files->readFile(Config::overrideFilePath()); bytes && Text::isValidUtf8(*bytes)) {
        const std::string candidate = Text::trim(*bytes);
        if (isAllowedBackendOverride(candidate)) {
            Config::setBackend(candidate);
            wsLog("backend from config file: " + candidate);
            return;
        }
    }

    // 3. Paired: always the hosted service. A keyring that is slow to answer may use only what is
    // left of the bound, less the local probe's wait.
    const double spent = platform::secondsBetween(started, platform::clock().now());
    const double keyringLimit =
        std::max(0.0, Config::kResolutionBound - spent - (Config::kLocalProbeTimeout + Config::kProbeWaitMargin));
    if (DeviceAuth::isPaired(keyringLimit)) {
        Config::setBackend(Config::hostedBackend());
        wsLog("backend resolved: " + Config::backend() + " (paired → hosted, ignoring any local server)");
        return;
    }

    // 4. Unpaired: a local development server wins when it answers.
    const bool localUp = localServerUp();
    Config::setBackend(localUp ? Config::kLocalDevelopmentServer : Config::hostedBackend());
    wsLog("backend resolved: " + Config::backend() + " (unpaired; local up: " + (localUp ? "true" : "false") +
          ", hosted: " + Config::hostedBackend() + ")");
}
