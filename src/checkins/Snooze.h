#pragma once
#include "platform/Clock.h"

// The user's quiet period: one process-wide instant, read from any thread.
namespace Snooze {

platform::TimePoint until();
void setUntil(platform::TimePoint t);
// Quiet for `hours` from now, replacing any earlier end; logs "SNOOZE until <UTC time>".
void set(double hours);
// Strictly before `until`: at the instant itself the quiet period is over.
bool isSnoozed(platform::TimePoint now);

}  // namespace Snooze
