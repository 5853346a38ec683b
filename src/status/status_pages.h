#pragma once
#include <string>
#include <string_view>

#include "status/status_history.h"
#include "status/status_snapshot.h"

namespace tallysv {

// The three renderings of a snapshot. Texts from the network (zone names)
// are taken as Latin-1 and written as UTF-8, escaped for each format.

// "/": a page for a person, reloading itself every few seconds; with a
// history, its charts (the last hour, or the last 24 hours).
std::string renderStatusPage(const StatusSnapshot& snapshot, const HistoryView& history = {});
// "/status.json": the same figures for scripts.
std::string renderStatusJson(const StatusSnapshot& snapshot);
// "/metrics": the Prometheus text exposition format (version 0.0.4).
std::string renderMetrics(const StatusSnapshot& snapshot);
// The charts of the page, as inline SVG (no script, no file from elsewhere).
std::string renderHistoryCharts(const HistoryView& history);
// The chart of players online alone, without the zones' comings and goings
// (the players' site draws it).
std::string renderPlayersChart(const HistoryView& history);
// "/history.json": the series of the charts, one value a minute.
std::string renderHistoryJson(const HistoryView& history);

// The names the pages give the outcomes of logins (also the values of the
// metrics' "result" label).
const char* outcomeName(PlayerLoginOutcome outcome);
const char* outcomeName(ZoneLoginOutcome outcome);

// Helpers of the renderings.
std::string latin1ToUtf8(std::string_view text);
// A network text (Latin-1) as HTML text, and as a quoted JSON string.
std::string htmlText(std::string_view text);
std::string jsonString(std::string_view text);
// "2026-12-10 18:22:38 UTC"
std::string utcTimeText(int32_t time);
// "3 d 04:05:06" or "04:05:06"
std::string durationText(int64_t seconds);

}  // namespace tallysv
