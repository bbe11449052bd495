#include "devserver/DevServer.h"

#include "devserver/DeviceToken.h"
#include "devserver/Gating.h"
#include "devserver/Html.h"
#include "devserver/Judge.h"
#include "devserver/Pages.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <charconv>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devserver {

using json = nlohmann::json;

namespace {

struct HttpError {
    int status;
    std::string message;
};

const char* const tokenHeader = "X-Device-Token";

void sendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void sendHtml(httplib::Response& res, const std::string& html) {
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    res.set_content(html, "text/html; charset=utf-8");
}

json jsonBody(const httplib::Request& req) {
    auto body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) throw HttpError{400, "body is not JSON"};
    if (!body.is_object()) throw HttpError{400, "body is not a JSON object"};
    return body;
}

std::string stringField(const json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string()) throw HttpError{400, std::string("\"") + key + "\" must be a string"};
    return it->get<std::string>();
}

double numberField(const json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_number()) throw HttpError{400, std::string("\"") + key + "\" must be a number"};
    const double value = it->get<double>();
    if (!std::isfinite(value)) throw HttpError{400, std::string("\"") + key + "\" must be finite"};
    return value;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The host part of a Host header or an origin's authority: "[::1]:5055" -> "[::1]".
std::string hostOf(const std::string& authority) {
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        return close == std::string::npos ? authority : authority.substr(0, close + 1);
    }
    return authority.substr(0, authority.find(':'));
}

bool isLoopbackHost(const std::string& host) {
    const std::string h = lower(host);
    return h == "127.0.0.1" || h == "localhost" || h == "[::1]";
}

// Pages and the API answer only under a loopback name (no DNS rebinding), and state changes
// only come from this server's own pages or from clients that send no Origin (the agent).
std::optional<HttpError> refuseForeign(const httplib::Request& req) {
    if (req.has_header("Host") && !isLoopbackHost(hostOf(req.get_header_value("Host"))))
        return HttpError{403, "this server answers on 127.0.0.1 only"};
    if (req.method == "POST" && req.has_header("Origin")) {
        const std::string origin = req.get_header_value("Origin");
        const std::string prefix = "http://";
        if (lower(origin).rfind(prefix, 0) != 0 || !isLoopbackHost(hostOf(origin.substr(prefix.size()))))
            return HttpError{403, "cross-site request refused"};
    }
    return std::nullopt;
}

std::int64_t systemNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

json hitsJson(const std::vector<PhraseHit>& hits) {
    json out = json::array();
    for (const auto& hit : hits) out.push_back({{"tier", std::to_string(hit.tier)}, {"phrase", hit.phrase}});
    return out;
}

std::optional<std::int64_t> parseId(const std::string& text) {
    std::int64_t value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

DevServer::DevServer(std::shared_ptr<Store> store, PhraseList phrases, Clock clock, Logger log)
    : store_(std::move(store)),
      phrases_(std::move(phrases)),
      clock_(clock ? std::move(clock) : Clock(systemNow)),
      log_(std::move(log)),
      http_(std::make_unique<httplib::Server>()) {
    http_->set_socket_options([](int fd) { reuseAddress(fd); });
    installRoutes();
}

DevServer::~DevServer() { stop(); }

int DevServer::bind(int port) {
    bindError_.clear();
    const int bound = port == 0 ? http_->bind_to_any_port(host) : (http_->bind_to_port(host, port) ? port : -1);
    if (bound < 0) bindError_ = whyNotBindable(port);
    return bound;
}

std::string DevServer::whyNotBindable(int port) {
    // The library does not say why; the same bind, tried once more, does.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    reuseAddress(fd);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host, &addr.sin_addr);
    std::string why = "the port was taken and let go again";
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        why = std::strerror(errno);
    else if (::listen(fd, 1) != 0)
        why = std::strerror(errno);
    ::close(fd);
    return why;
}

void DevServer::reuseAddress(int fd) {
    // Rebinding while the last run's connections sit in TIME_WAIT. Never SO_REUSEPORT (Debian's
    // cpp-httplib sets it by default): two servers would then share the port and split the requests.
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

bool DevServer::serve() { return http_->listen_after_bind(); }

void DevServer::stop() {
    if (http_) http_->stop();
}

bool DevServer::running() const { return http_->is_running(); }

std::int64_t DevServer::deviceFor(const httplib::Request& req) const {
    const std::string token = req.get_header_value(tokenHeader);
    // The agent sends no header while unpaired; an empty one means the same.
    if (token.empty()) return Store::unpairedDevice;
    const auto device = store_->deviceForToken(token);
    if (!device) throw HttpError{401, "unknown device"};
    return *device;
}

void DevServer::installRoutes() {
    using Member = void (DevServer::*)(const httplib::Request&, httplib::Response&);
    auto guarded = [this](Member handler) {
        return [this, handler](const httplib::Request& req, httplib::Response& res) {
            try {
                (this->*handler)(req, res);
            } catch (const HttpError& e) {
                sendJson(res, e.status, {{"error", e.message}});
            } catch (const std::exception& e) {
                if (log_) log_(std::string("error: ") + e.what());
                sendJson(res, 500, {{"error", "internal error"}});
            } catch (...) {
                sendJson(res, 500, {{"error", "internal error"}});
            }
        };
    };

    http_->set_payload_max_length(maxBodyBytes);
    http_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (const auto refused = refuseForeign(req)) {
            sendJson(res, refused->status, {{"error", refused->message}});
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Replies the routes did not write themselves (no route, body too large) still come as JSON.
    http_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        const std::string message = res.status == 404   ? "not found"
                                    : res.status == 413 ? "body too large"
                                    : res.status == 400 ? "bad request"
                                                        : "error";
        res.set_content(json{{"error", message}}.dump(), "application/json");
    });
    http_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        sendJson(res, 500, {{"error", "internal error"}});
    });
    http_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        // The path only: no headers (the token) and no query.
        if (log_) log_(req.method + " " + req.path + " " + std::to_string(res.status));
    });

    http_->Get("/api/me", guarded(&DevServer::me));
    http_->Post("/api/monitor", guarded(&DevServer::monitor));
    http_->Post("/api/scan", guarded(&DevServer::scan));
    http_->Post("/api/behavioral/log", guarded(&DevServer::behavioralLog));
    http_->Post("/api/app_usage/log", guarded(&DevServer::appUsageLog));
    http_->Get("/api/agent_prefs", guarded(&DevServer::agentPrefs));
    http_->Get("/api/gating", guarded(&DevServer::gating));
    http_->Get("/pair-agent", guarded(&DevServer::pairPage));
    http_->Post("/pair-agent", guarded(&DevServer::pair));
    http_->Get("/app", guarded(&DevServer::dashboard));
    http_->Post("/app/prefs", guarded(&DevServer::setPrefs));
    http_->Get("/chat", guarded(&DevServer::chat));
}

void DevServer::me(const httplib::Request&, httplib::Response& res) { sendJson(res, 200, {{"ok", true}}); }

void DevServer::monitor(const httplib::Request& req, httplib::Response& res) {
    const std::int64_t device = deviceFor(req);
    const std::string text = stringField(jsonBody(req), "text");
    const auto hits = phrases_.match(text);

    Judgment j;
    {
        std::lock_guard lock(judgeMutex_);
        const std::int64_t now = clock_();
        const bool recentStrain = store_->countJudgmentsAtTier(device, now - Judge::strainRepeatSeconds, 1) > 0;
        j = Judge::judge(hits, recentStrain);
        store_->addJudgment(device, {now, j});
    }
    sendJson(res, 200,
             {{"l1",
               {{"tier3", j.tier3}, {"level", j.maxTier}, {"level_name", j.levelName}, {"categories", j.categories}}},
              {"judgment", {{"surface", j.surface}, {"risk_level", j.riskLevel}}}});
}

void DevServer::scan(const httplib::Request& req, httplib::Response& res) {
    deviceFor(req);
    const std::string text = stringField(jsonBody(req), "text");
    const auto hits = phrases_.match(text);
    const int level = hits.empty() ? 0 : hits.front().tier;
    sendJson(res, 200, {{"level", level}, {"tier3", level >= 3}, {"hits", hitsJson(hits)}});
}

void DevServer::behavioralLog(const httplib::Request& req, httplib::Response& res) {
    const std::int64_t device = deviceFor(req);
    const json body = jsonBody(req);
    BehaviorRow row;
    row.tabSwitches = numberField(body, "tab_switches");
    row.interruptions = numberField(body, "interruptions");
    row.avgSessionMin = numberField(body, "avg_session_min");
    row.backspaceRate = numberField(body, "backspace_rate");
    row.lateNightMin = numberField(body, "late_night_min");
    row.activeMinutes = numberField(body, "active_minutes");
    row.at = clock_();
    store_->addBehavior(device, row);
    sendJson(res, 200, {{"ok", true}});
}

void DevServer::appUsageLog(const httplib::Request& req, httplib::Response& res) {
    const std::int64_t device = deviceFor(req);
    const json body = jsonBody(req);
    const auto apps = body.find("apps");
    if (apps == body.end() || !apps->is_object()) throw HttpError{400, "\"apps\" must be an object"};
    std::map<std::string, double> seconds;
    for (const auto& [name, value] : apps->items()) {
        if (!value.is_number()) throw HttpError{400, "app seconds must be numbers"};
        const double s = value.get<double>();
        if (!std::isfinite(s) || s < 0) throw HttpError{400, "app seconds must be zero or more"};
        seconds[name] += s;
    }
    if (!seconds.empty()) store_->addAppUsage(device, seconds, clock_());
    sendJson(res, 200, {{"ok", true}});
}

void DevServer::agentPrefs(const httplib::Request& req, httplib::Response& res) {
    const auto device = store_->device(deviceFor(req));
    sendJson(res, 200, {{"track_app_usage", device && device->trackAppUsage}});
}

void DevServer::gating(const httplib::Request& req, httplib::Response& res) {
    const auto flags = Gating::derive(*store_, deviceFor(req), clock_());
    sendJson(res, 200, {{"urgent", flags.urgent}, {"gentle", flags.gentle}});
}

void DevServer::pairPage(const httplib::Request&, httplib::Response& res) { sendHtml(res, Pages::pairAgent()); }

void DevServer::pair(const httplib::Request&, httplib::Response& res) {
    const std::string token = DeviceToken::generate();
    const std::int64_t id = store_->addDevice(token, clock_());
    const std::string callback = "wellspire://pair?token=" + Html::percentEncode(token);
    if (log_) log_("paired device " + std::to_string(id));
    sendHtml(res, Pages::paired(callback));
    res.status = 302;
    res.set_header("Location", callback);
}

void DevServer::dashboard(const httplib::Request&, httplib::Response& res) {
    const std::int64_t now = clock_();
    std::vector<DashboardDevice> shown;
    for (const auto& device : store_->devices()) {
        DashboardDevice d;
        d.device = device;
        d.judgments = store_->recentJudgments(device.id, recentJudgmentsShown);
        d.behavior = store_->latestBehavior(device.id);
        d.apps = store_->appUsage(device.id, appsShown);
        d.gating = Gating::derive(*store_, device.id, now);
        shown.push_back(std::move(d));
    }
    sendHtml(res, Pages::dashboard(shown));
}

void DevServer::setPrefs(const httplib::Request& req, httplib::Response& res) {
    const auto id = parseId(req.get_param_value("device"));
    const std::string track = req.get_param_value("track_app_usage");
    if (!id || (track != "0" && track != "1")) throw HttpError{400, "expected device and track_app_usage=0|1"};
    if (!store_->setTrackAppUsage(*id, track == "1")) throw HttpError{404, "no such device"};
    res.status = 303;
    res.set_header("Location", "/app");
    res.set_content("<a href=\"/app\">Back to the dashboard</a>", "text/html; charset=utf-8");
}

void DevServer::chat(const httplib::Request&, httplib::Response& res) { sendHtml(res, Pages::chat()); }

}  // namespace devserver
