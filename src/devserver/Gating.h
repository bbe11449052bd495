#pragma once

#include <cstdint>

namespace devserver {

class Store;

struct GatingFlags {
    bool urgent = false;
    bool gentle = false;
};

// Pattern flags of one device, from what it reported lately.
namespace Gating {

constexpr std::int64_t urgentWindowSeconds = 10 * 60;
constexpr int urgentJudgments = 2;
constexpr std::int64_t gentleWindowSeconds = 30 * 60;
constexpr int gentleJudgments = 3;  // judgments that surfaced anything, urgent ones included
// A behaviour report counts only while it is this fresh.
constexpr std::int64_t behaviorFreshSeconds = 30 * 60;
constexpr double lateNightMinutes = 45;
constexpr double backspaceRate = 0.35;

GatingFlags derive(Store& store, std::int64_t device, std::int64_t now);

}  // namespace Gating

}  // namespace devserver
