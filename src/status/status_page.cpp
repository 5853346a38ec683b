#include <string>

#include "status/status_pages.h"

namespace tallysv {

namespace {

template <typename Number>
std::string numberCell(Number n, const char* kind = nullptr) {
    return std::string("<td class=\"n") + (kind ? std::string(" ") + kind : "") + "\">" + std::to_string(n) + "</td>";
}
std::string textCell(std::string_view text) { return "<td>" + htmlText(text) + "</td>"; }

// The page reloads itself; its only style is inline, so the page's own
// policy can forbid everything else.
constexpr const char* kHead =
    "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>\n"
    "<meta http-equiv=refresh content=5>\n"
    "<title>Tallysv status</title>\n"
    "<style>body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #bbb;padding:.25em .6em;text-align:left}td.n{text-align:right}"
    "th{background:#eee}caption{text-align:left;font-weight:bold;padding:.3em 0}"
    "figure{margin:0 0 1.5em 0}figcaption{padding:.3em 0}</style>\n"
    "</head><body>\n";

}  // namespace

std::string renderStatusPage(const StatusSnapshot& s, const HistoryView& history) {
    std::string page = kHead;
    page += "<h1>Tallysv " + htmlText(s.version) + "</h1>\n<p id=uptime>Up " + durationText(s.now - s.startTime) +
            " (since " + utcTimeText(s.startTime) + "); as of " + utcTimeText(s.now) + ".</p>\n";

    page += "<table id=zones><caption>Zones connected: " + std::to_string(s.zones.size()) +
            "</caption>\n<tr><th>Name</th><th>ScoreID</th><th>GroupID</th><th>Address</th><th>Connected since</th>"
            "<th>Players</th><th>Resent</th></tr>\n";
    for (const ZoneFigures& z : s.zones) {
        page += "<tr>" + textCell(z.name) + numberCell(z.scoreID) + numberCell(z.groupID) + textCell(z.address) +
                textCell(utcTimeText(z.connectedSince)) + numberCell(z.players, "players") + numberCell(z.resends) +
                "</tr>\n";
    }
    page += "</table>\n";

    page += "<table id=totals><caption>Totals</caption>\n";
    auto total = [&](const char* what, uint64_t n) {
        page += "<tr><th>" + std::string(what) + "</th>" + numberCell(n, "total") + "</tr>\n";
    };
    total("Accounts", s.accounts);
    total("Players online", s.playersOnline);
    total("Squads", s.squads);
    total("Chat channels", s.chatChannels);
    total("Bans", s.bans);
    total("Operators online", s.operatorsOnline);
    total("Host slots in use", s.hostSlotsUsed);
    total("Host slot limit", s.hostSlotLimit);
    page += "</table>\n";

    page += "<p id=save>Last save: ";
    if (s.saves.any) {
        page += utcTimeText(s.saves.lastTime) + ", " + std::to_string(s.saves.lastDurationMs) + " ms, " +
                (s.saves.lastSucceeded ? "written" : "<strong>failed</strong>");
    } else {
        page += "none since start";
    }
    page += " (" + std::to_string(s.saves.saves) + " saves, " + std::to_string(s.saves.failedSaves) + " failed).</p>\n";
    page += "<p id=backup>Last backup generation: " + (s.lastBackup.empty() ? "none" : htmlText(s.lastBackup)) + ".</p>\n";
    if (!history.empty()) {
        const bool day = history.buckets.size() > 60;
        page += std::string("<h2 id=history>") + (day ? "The last 24 hours" : "The last hour") + "</h2>\n<p>" +
                (day ? "<a href=\"./\">The last hour</a>" : "<a href=\"?range=24h\">The last 24 hours</a>") +
                " &middot; <a href=\"history.json" + (day ? "?range=24h" : "") + "\">these series as JSON</a></p>\n";
        page += renderHistoryCharts(history);
    }
    page += "<p><a href=\"status.json\">JSON</a> &middot; <a href=\"metrics\">metrics</a></p>\n</body></html>\n";
    return page;
}

}  // namespace tallysv
