#pragma once

#include "devserver/Gating.h"
#include "devserver/Store.h"

#include <optional>
#include <string>
#include <vector>

namespace devserver {

// What the dashboard shows of one device.
struct DashboardDevice {
    DeviceRow device;
    std::vector<JudgmentRow> judgments;
    std::optional<BehaviorRow> behavior;
    std::vector<AppUsageRow> apps;
    GatingFlags gating;
};

// The browser pages. Every value that came from a request is escaped here.
namespace Pages {

std::string pairAgent();
std::string paired(const std::string& callbackUrl);
std::string dashboard(const std::vector<DashboardDevice>& devices);
std::string chat();

}  // namespace Pages

}  // namespace devserver
