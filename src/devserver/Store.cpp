#include "devserver/Store.h"

#include <nlohmann/json.hpp>

namespace devserver {

namespace {

const char* const schema[] = {
    "PRAGMA journal_mode=WAL",
    "PRAGMA foreign_keys=ON",
    "CREATE TABLE IF NOT EXISTS devices ("
    " id INTEGER PRIMARY KEY,"
    " token TEXT UNIQUE,"
    " created_at INTEGER NOT NULL,"
    " track_app_usage INTEGER NOT NULL DEFAULT 0)",
    "INSERT OR IGNORE INTO devices (id, token, created_at, track_app_usage) VALUES (0, NULL, 0, 0)",
    "CREATE TABLE IF NOT EXISTS judgments ("
    " id INTEGER PRIMARY KEY,"
    " device_id INTEGER NOT NULL REFERENCES devices(id),"
    " at INTEGER NOT NULL,"
    " max_tier INTEGER NOT NULL,"
    " level_name TEXT NOT NULL,"
    " surface TEXT NOT NULL,"
    " risk_level TEXT NOT NULL,"
    " categories TEXT NOT NULL,"
    " phrases TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS judgments_by_device ON judgments (device_id, at)",
    "CREATE TABLE IF NOT EXISTS behavior ("
    " id INTEGER PRIMARY KEY,"
    " device_id INTEGER NOT NULL REFERENCES devices(id),"
    " at INTEGER NOT NULL,"
    " tab_switches REAL NOT NULL,"
    " interruptions REAL NOT NULL,"
    " avg_session_min REAL NOT NULL,"
    " backspace_rate REAL NOT NULL,"
    " late_night_min REAL NOT NULL,"
    " active_minutes REAL NOT NULL)",
    "CREATE INDEX IF NOT EXISTS behavior_by_device ON behavior (device_id, at)",
    "CREATE TABLE IF NOT EXISTS app_usage ("
    " device_id INTEGER NOT NULL REFERENCES devices(id),"
    " app TEXT NOT NULL,"
    " seconds REAL NOT NULL,"
    " updated_at INTEGER NOT NULL,"
    " PRIMARY KEY (device_id, app))",
};

std::vector<std::string> stringList(const std::string& jsonText) {
    std::vector<std::string> out;
    const auto doc = nlohmann::json::parse(jsonText, nullptr, false);
    if (!doc.is_array()) return out;
    for (const auto& item : doc)
        if (item.is_string()) out.push_back(item.get<std::string>());
    return out;
}

std::string jsonList(const std::vector<std::string>& items) { return nlohmann::json(items).dump(); }

class Transaction {
public:
    explicit Transaction(SqliteDatabase& db) : db_(db) { db_.run("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) {
            try {
                db_.run("ROLLBACK");
            } catch (...) {
            }
        }
    }
    void commit() {
        db_.run("COMMIT");
        done_ = true;
    }

private:
    SqliteDatabase& db_;
    bool done_ = false;
};

}  // namespace

Store::Store(const std::string& path) : db_(path) {
    std::lock_guard lock(mutex_);
    for (const char* sql : schema) db_.run(sql);
}

std::optional<std::int64_t> Store::deviceForToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "SELECT id FROM devices WHERE token = ?1");
    q.bind(1, token);
    if (!q.step()) return std::nullopt;
    return q.columnInt(0);
}

std::int64_t Store::addDevice(const std::string& token, std::int64_t now) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "INSERT INTO devices (token, created_at, track_app_usage) VALUES (?1, ?2, 0)");
    q.bind(1, token).bind(2, now).runToEnd();
    return db_.lastInsertId();
}

std::vector<DeviceRow> Store::devices() {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "SELECT id, created_at, track_app_usage FROM devices ORDER BY id");
    std::vector<DeviceRow> out;
    while (q.step()) out.push_back({q.columnInt(0), q.columnInt(1), q.columnInt(2) != 0});
    return out;
}

std::optional<DeviceRow> Store::device(std::int64_t id) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "SELECT id, created_at, track_app_usage FROM devices WHERE id = ?1");
    q.bind(1, id);
    if (!q.step()) return std::nullopt;
    return DeviceRow{q.columnInt(0), q.columnInt(1), q.columnInt(2) != 0};
}

bool Store::setTrackAppUsage(std::int64_t id, bool on) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "UPDATE devices SET track_app_usage = ?1 WHERE id = ?2");
    q.bind(1, std::int64_t{on ? 1 : 0}).bind(2, id).runToEnd();
    return db_.changes() > 0;
}

void Store::addJudgment(std::int64_t device, const JudgmentRow& row) {
    std::lock_guard lock(mutex_);
    const auto& j = row.judgment;
    SqliteStatement q(db_,
                      "INSERT INTO judgments (device_id, at, max_tier, level_name, surface, risk_level, categories,"
                      " phrases) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    q.bind(1, device)
        .bind(2, row.at)
        .bind(3, std::int64_t{j.maxTier})
        .bind(4, j.levelName)
        .bind(5, j.surface)
        .bind(6, j.riskLevel)
        .bind(7, jsonList(j.categories))
        .bind(8, jsonList(j.phrases))
        .runToEnd();
}

std::vector<JudgmentRow> Store::recentJudgments(std::int64_t device, int limit) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_,
                      "SELECT at, max_tier, level_name, surface, risk_level, categories, phrases FROM judgments"
                      " WHERE device_id = ?1 ORDER BY at DESC, id DESC LIMIT ?2");
    q.bind(1, device).bind(2, std::int64_t{limit});
    std::vector<JudgmentRow> out;
    while (q.step()) {
        JudgmentRow row;
        row.at = q.columnInt(0);
        row.judgment.maxTier = static_cast<int>(q.columnInt(1));
        row.judgment.tier3 = row.judgment.maxTier >= 3;
        row.judgment.levelName = q.columnText(2);
        row.judgment.surface = q.columnText(3);
        row.judgment.riskLevel = q.columnText(4);
        row.judgment.categories = stringList(q.columnText(5));
        row.judgment.phrases = stringList(q.columnText(6));
        out.push_back(std::move(row));
    }
    return out;
}

int Store::countJudgmentsAtTier(std::int64_t device, std::int64_t since, int minTier) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "SELECT COUNT(*) FROM judgments WHERE device_id = ?1 AND at >= ?2 AND max_tier >= ?3");
    q.bind(1, device).bind(2, since).bind(3, std::int64_t{minTier});
    return q.step() ? static_cast<int>(q.columnInt(0)) : 0;
}

int Store::countSurfaced(std::int64_t device, std::int64_t since, const std::string& surface) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_,
                      "SELECT COUNT(*) FROM judgments WHERE device_id = ?1 AND at >= ?2 AND"
                      " (CASE WHEN ?3 = '' THEN surface <> 'none' ELSE surface = ?3 END)");
    q.bind(1, device).bind(2, since).bind(3, surface);
    return q.step() ? static_cast<int>(q.columnInt(0)) : 0;
}

void Store::addBehavior(std::int64_t device, const BehaviorRow& row) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_,
                      "INSERT INTO behavior (device_id, at, tab_switches, interruptions, avg_session_min,"
                      " backspace_rate, late_night_min, active_minutes) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    q.bind(1, device)
        .bind(2, row.at)
        .bind(3, row.tabSwitches)
        .bind(4, row.interruptions)
        .bind(5, row.avgSessionMin)
        .bind(6, row.backspaceRate)
        .bind(7, row.lateNightMin)
        .bind(8, row.activeMinutes)
        .runToEnd();
}

std::optional<BehaviorRow> Store::latestBehavior(std::int64_t device) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_,
                      "SELECT at, tab_switches, interruptions, avg_session_min, backspace_rate, late_night_min,"
                      " active_minutes FROM behavior WHERE device_id = ?1 ORDER BY at DESC, id DESC LIMIT 1");
    q.bind(1, device);
    if (!q.step()) return std::nullopt;
    return BehaviorRow{q.columnInt(0),    q.columnDouble(1), q.columnDouble(2), q.columnDouble(3),
                       q.columnDouble(4), q.columnDouble(5), q.columnDouble(6)};
}

void Store::addAppUsage(std::int64_t device, const std::map<std::string, double>& apps, std::int64_t now) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    SqliteStatement q(db_,
                      "INSERT INTO app_usage (device_id, app, seconds, updated_at) VALUES (?1, ?2, ?3, ?4)"
                      " ON CONFLICT (device_id, app) DO UPDATE SET seconds = seconds + excluded.seconds,"
                      " updated_at = excluded.updated_at");
    for (const auto& [app, seconds] : apps) {
        q.reset();
        q.bind(1, device).bind(2, app).bind(3, seconds).bind(4, now).runToEnd();
    }
    tx.commit();
}

std::vector<AppUsageRow> Store::appUsage(std::int64_t device, int limit) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_,
                      "SELECT app, seconds, updated_at FROM app_usage WHERE device_id = ?1"
                      " ORDER BY seconds DESC, app LIMIT ?2");
    q.bind(1, device).bind(2, std::int64_t{limit});
    std::vector<AppUsageRow> out;
    while (q.step()) out.push_back({q.columnText(0), q.columnDouble(1), q.columnInt(2)});
    return out;
}

}  // namespace devserver
