#include "devserver/Judge.h"

#include <algorithm>

namespace devserver::Judge {

std::string levelName(int tier) {
    switch (tier) {
    case 0: return "none";
    case 1: return "low";
    case 2: return "elevated";
    default: return "high";
    }
}

Judgment judge(const std::vector<PhraseHit>& hits, bool recentStrain) {
    Judgment j;
    for (const auto& hit : hits) {
        j.maxTier = std::max(j.maxTier, hit.tier);
        j.phrases.push_back(hit.phrase);
        if (std::find(j.categories.begin(), j.categories.end(), hit.category) == j.categories.end())
            j.categories.push_back(hit.category);
    }
    j.levelName = levelName(j.maxTier);
    j.tier3 = j.maxTier >= 3;
    j.riskLevel = j.levelName;
    if (j.maxTier >= 3) {
        j.surface = "urgent";
    } else if (j.maxTier == 2) {
        j.surface = "gentle";
    } else if (j.maxTier == 1 && recentStrain) {
        j.surface = "gentle";
        j.riskLevel = levelName(2);
    }
    return j;
}

}  // namespace devserver::Judge
