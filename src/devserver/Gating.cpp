#include "devserver/Gating.h"

#include "devserver/Store.h"

namespace devserver::Gating {

GatingFlags derive(Store& store, std::int64_t device, std::int64_t now) {
    GatingFlags flags;
    flags.urgent = store.countSurfaced(device, now - urgentWindowSeconds, "urgent") >= urgentJudgments;
    flags.gentle = store.countSurfaced(device, now - gentleWindowSeconds, "") >= gentleJudgments;
    if (!flags.gentle) {
        if (const auto latest = store.latestBehavior(device); latest && latest->at >= now - behaviorFreshSeconds)
            flags.gentle = latest->lateNightMin >= lateNightMinutes || latest->backspaceRate >= backspaceRate;
    }
    return flags;
}

}  // namespace devserver::Gating
