#include "devserver/Pages.h"

#include "devserver/Html.h"

namespace devserver::Pages {

namespace {

std::string page(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" + Html::escape(title) + "</title>"
           "<style>body{font-family:sans-serif;max-width:52rem;margin:2rem auto;padding:0 1rem;color:#223}"
           "table{border-collapse:collapse;margin:.5rem 0 1rem}td,th{border:1px solid #ccd;padding:.25rem .5rem;"
           "text-align:left}section{border-top:2px solid #dde;margin-top:1.5rem}"
           "button{font-size:1rem;padding:.4rem 1rem}.crisis{font-size:1.4rem;font-weight:bold}</style>"
           "</head><body>\n" + body + "\n</body></html>\n";
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ", ";
        out += Html::escape(item);
    }
    return out.empty() ? "&mdash;" : out;
}

std::string deviceName(const DeviceRow& d) {
    if (d.id == Store::unpairedDevice) return "This computer (not paired)";
    return "Device " + std::to_string(d.id) + " (paired " + Html::time(d.createdAt) + ")";
}

std::string deviceSection(const DashboardDevice& d) {
    const std::string id = std::to_string(d.device.id);
    std::string s = "<section id=\"device-" + id + "\"><h2>" + Html::escape(deviceName(d.device)) + "</h2>\n";

    s += "<p>Pattern flags: urgent " + std::string(d.gating.urgent ? "raised" : "clear") + ", gentle " +
         (d.gating.gentle ? "raised" : "clear") + ".</p>\n";

    s += "<form method=\"post\" action=\"/app/prefs\"><input type=\"hidden\" name=\"device\" value=\"" + id +
         "\"><input type=\"hidden\" name=\"track_app_usage\" value=\"" + (d.device.trackAppUsage ? "0" : "1") +
         "\">App usage tracking is <strong>" + (d.device.trackAppUsage ? "on" : "off") + "</strong>. <button>" +
         (d.device.trackAppUsage ? "Turn app usage tracking off" : "Turn app usage tracking on") +
         "</button></form>\n";

    s += "<h3>Snapshots</h3>\n";
    if (d.judgments.empty()) {
        s += "<p>No judgments yet.</p>\n";
    } else {
        s += "<table><tr><th>When</th><th>Level</th><th>Surface</th><th>Risk</th><th>Categories</th>"
             "<th>Phrases</th></tr>\n";
        for (const auto& row : d.judgments) {
            const auto& j = row.judgment;
            s += "<tr><td>" + Html::time(row.at) + "</td><td>" + Html::escape(j.levelName) + "</td><td>" +
                 Html::escape(j.surface) + "</td><td>" + Html::escape(j.riskLevel) + "</td><td>" +
                 joined(j.categories) + "</td><td>" + joined(j.phrases) + "</td></tr>\n";
        }
        s += "</table>\n";
    }

    s += "<h3>Weather report</h3>\n";
    if (!d.behavior) {
        s += "<p>No behaviour report yet.</p>\n";
    } else {
        const auto& b = *d.behavior;
        s += "<table><tr><th>Reported</th><td>" + Html::time(b.at) + "</td></tr>"
             "<tr><th>App switches per hour</th><td>" + Html::number(b.tabSwitches) + "</td></tr>"
             "<tr><th>Interruptions</th><td>" + Html::number(b.interruptions) + "</td></tr>"
             "<tr><th>Longest stretch (min)</th><td>" + Html::number(b.avgSessionMin) + "</td></tr>"
             "<tr><th>Delete-key rate</th><td>" + Html::number(b.backspaceRate) + "</td></tr>"
             "<tr><th>Late-night minutes</th><td>" + Html::number(b.lateNightMin) + "</td></tr>"
             "<tr><th>Active minutes</th><td>" + Html::number(b.activeMinutes) + "</td></tr></table>\n";
    }

    s += "<h3>App usage</h3>\n";
    if (d.apps.empty()) {
        s += "<p>No app usage reported.</p>\n";
    } else {
        s += "<table><tr><th>Application</th><th>Minutes</th><th>Last report</th></tr>\n";
        for (const auto& app : d.apps)
            s += "<tr><td>" + Html::escape(app.app) + "</td><td>" + Html::number(app.seconds / 60.0) +
                 "</td><td>" + Html::time(app.updatedAt) + "</td></tr>\n";
        s += "</table>\n";
    }
    return s + "</section>";
}

}  // namespace

std::string pairAgent() {
    return page("Connect this computer — Wellspire",
                "<h1>Connect this computer</h1>\n"
                "<p>This is the local development server. Connecting issues a device token and hands it to the "
                "Wellspire agent on this computer through a wellspire:// link.</p>\n"
                "<form method=\"post\" action=\"/pair-agent\"><button type=\"submit\">Connect this computer"
                "</button></form>");
}

std::string paired(const std::string& callbackUrl) {
    return page("Connecting — Wellspire",
                "<h1>Connecting…</h1>\n<p>If the agent did not open by itself, "
                "<a href=\"" + Html::escape(callbackUrl) + "\">open Wellspire to finish connecting</a>.</p>");
}

std::string dashboard(const std::vector<DashboardDevice>& devices) {
    // The page names its "Snapshots" and "Weather report" sections so that the agent, reading the
    // screen, recognises its own dashboard and does not judge the phrases listed on it.
    std::string body = "<h1>Wellspire dashboard</h1>\n<p>Local development server. "
                       "<a href=\"/pair-agent\">Connect a computer</a> · <a href=\"/chat\">Support</a></p>\n";
    for (const auto& d : devices) body += deviceSection(d) + "\n";
    return page("Wellspire dashboard", body);
}

std::string chat() {
    return page("Support — Wellspire",
                "<h1>You don't have to carry it alone</h1>\n"
                "<p class=\"crisis\">Call or text 988</p>\n"
                "<p>The 988 Suicide &amp; Crisis Lifeline answers day and night, in the United States. "
                "If you are in immediate danger, call 911 or your local emergency number.</p>\n"
                "<p>If you are outside the United States, your local emergency number or a local crisis line "
                "can help right now.</p>\n"
                "<p>This local development server has no live chat; the hosted service offers one.</p>");
}

}  // namespace devserver::Pages
