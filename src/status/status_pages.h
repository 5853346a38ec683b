#pragma once
#include <string>
#include <string_view>

#include "status/status_snapshot.h"

namespace tallysv {

// The three renderings of a snapshot. Texts from the network (zone names)
// are taken as Latin-1 and written as UTF-8, escaped for each format.

// "/": a page for a person, reloading itself every few seconds.
std::string renderStatusPage(const StatusSnapshot& snapshot);
// "/status.json": the same figures for scripts.
std::string renderStatusJson(const StatusSnapshot& snapshot);
// "/metrics": the Prometheus text exposition format (version 0.0.4).
std::string renderMetrics(const StatusSnapshot& snapshot);

// The names the pages give the outcomes of logins (also the values of the
// metrics' "result" label).
const char* outcomeName(PlayerLoginOutcome outcome);
const char* outcomeName(ZoneLoginOutcome outcome);

// Helpers of the renderings.
std::string latin1ToUtf8(std::string_view text);
// "2026-12-10 18:22:38 UTC"
std::string utcTimeText(int32_t time);
// "3 d 04:05:06" or "04:05:06"
std::string durationText(int64_t seconds);

}  // namespace tallysv
