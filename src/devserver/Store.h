#pragma once

#include "devserver/Judge.h"
#include "devserver/Sqlite.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace devserver {

struct DeviceRow {
    std::int64_t id = 0;
    std::int64_t createdAt = 0;
    bool trackAppUsage = false;
};

struct JudgmentRow {
    std::int64_t at = 0;
    Judgment judgment;
};

struct BehaviorRow {
    std::int64_t at = 0;
    double tabSwitches = 0;
    double interruptions = 0;
    double avgSessionMin = 0;
    double backspaceRate = 0;
    double lateNightMin = 0;
    double activeMinutes = 0;
};

struct AppUsageRow {
    std::string app;
    double seconds = 0;
    std::int64_t updatedAt = 0;
};

// Everything the server keeps, in one SQLite file. One connection, one mutex: requests
// arrive on several server threads and each call here is one short locked section.
class Store {
public:
    // The device that requests without a token are filed under: an unpaired agent.
    static constexpr std::int64_t unpairedDevice = 0;

    explicit Store(const std::string& path);

    std::optional<std::int64_t> deviceForToken(const std::string& token);
    std::int64_t addDevice(const std::string& token, std::int64_t now);
    std::vector<DeviceRow> devices();
    std::optional<DeviceRow> device(std::int64_t id);
    // False when there is no such device.
    bool setTrackAppUsage(std::int64_t id, bool on);

    void addJudgment(std::int64_t device, const JudgmentRow& row);
    std::vector<JudgmentRow> recentJudgments(std::int64_t device, int limit);
    // Judgments at or after `since` with a tier of at least `minTier`.
    int countJudgmentsAtTier(std::int64_t device, std::int64_t since, int minTier);
    // Judgments at or after `since` whose surface is `surface`, or any surface but "none" when empty.
    int countSurfaced(std::int64_t device, std::int64_t since, const std::string& surface);

    void addBehavior(std::int64_t device, const BehaviorRow& row);
    std::optional<BehaviorRow> latestBehavior(std::int64_t device);

    // Adds the seconds to each application's running total, all or nothing.
    void addAppUsage(std::int64_t device, const std::map<std::string, double>& apps, std::int64_t now);
    std::vector<AppUsageRow> appUsage(std::int64_t device, int limit);

private:
    std::mutex mutex_;
    SqliteDatabase db_;
};

}  // namespace devserver
