#pragma once

#include "devserver/PhraseList.h"

#include <string>
#include <vector>

namespace devserver {

// What one text amounts to, and what the agent should surface for it.
struct Judgment {
    int maxTier = 0;
    std::string levelName = "none";  // none, low, elevated, high
    bool tier3 = false;
    std::vector<std::string> categories;
    std::vector<std::string> phrases;
    std::string surface = "none";    // urgent, gentle, none
    std::string riskLevel = "none";  // the level in context
};

namespace Judge {

// A strain-tier hit only counts when the device showed strain recently as well.
constexpr long long strainRepeatSeconds = 15 * 60;

std::string levelName(int tier);

// recentStrain: the device had a judgment of tier 1 or above within strainRepeatSeconds.
Judgment judge(const std::vector<PhraseHit>& hits, bool recentStrain);

}  // namespace Judge

}  // namespace devserver
