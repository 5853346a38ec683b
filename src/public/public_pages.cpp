#include "public/public_pages.h"

#include <algorithm>
#include <cstdio>

#include "db/fixed_text.h"
#include "status/status_pages.h"

namespace tallysv {

namespace {

std::string n(int64_t v) { return std::to_string(v); }

std::string playerLink(std::string_view name) {
    return "<a href=\"/player?name=" + urlEncode(latin1ToUtf8(name)) + "\">" + htmlText(name) + "</a>";
}
std::string squadLink(std::string_view name) {
    return "<a href=\"/squad?name=" + urlEncode(latin1ToUtf8(name)) + "\">" + htmlText(name) + "</a>";
}

// A time on the pages ("never" for none), and in JSON as seconds since 1970
// beside its text.
std::string when(int32_t time) { return time == 0 ? "never" : utcTimeText(time); }
std::string jsonTime(int32_t time) { return time == 0 ? "null" : n(time); }

// The name the network page gives a score group: the zone online with that
// ScoreID, else the number.
std::string groupName(const PublicOnline& online, int32_t scoreID) {
    for (const PublicOnline::Zone& zone : online.zones)
        if (zone.scoreID == scoreID) return zone.name;
    return "ScoreID " + n(scoreID);
}

const PublicOnline::Zone* zoneOfPlayer(const PublicOnline& online, std::string_view name) {
    for (const PublicOnline::Player& player : online.players)
        if (equalFolded(player.name, name, kNameCompareLength)) return &online.zones[player.zone];
    return nullptr;
}

// The frame of every page: no script, nothing from elsewhere, one column
// that fits a phone, tables that scroll sideways when they must.
std::string page(const std::string& title, const std::string& body, const PublicView& view) {
    std::string out =
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>" + title + "</title>\n<style>\n"
        "body{font-family:sans-serif;margin:0 auto;max-width:60em;padding:0 .8em;line-height:1.4;color:#111}\n"
        "nav{display:flex;flex-wrap:wrap;gap:.4em 1em;align-items:center;padding:.6em 0;border-bottom:1px solid #ccc}\n"
        "nav form{margin-left:auto}input{font-size:1em;max-width:10em}\n"
        ".wide{overflow-x:auto}table{border-collapse:collapse;margin:.5em 0}\n"
        "th,td{padding:.25em .6em;border-bottom:1px solid #e4e4e4;text-align:left;white-space:nowrap}\n"
        "td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}th a{color:inherit}\n"
        ".by{font-weight:bold}svg{max-width:100%;height:auto}figure{margin:1em 0}\n"
        "footer{color:#555;font-size:.85em;border-top:1px solid #ccc;margin-top:2em;padding:.6em 0}\n"
        "</style></head><body>\n<nav><a href=\"/\">Network</a><a href=\"/scores\">Scores</a>"
        "<a href=\"/squads\">Squads</a><form action=\"/search\" method=\"get\" role=\"search\">"
        "<input name=\"q\" placeholder=\"Player name\" aria-label=\"Player name\"> <button>Find</button></form></nav>\n"
        "<main>\n<h1>" + title + "</h1>\n" + body + "</main>\n<footer>Accounts, scores and squads as of " +
        when(view.data.takenAt()) + " (the last save); online now as of " + when(view.online.now) +
        ".</footer>\n</body></html>\n";
    return out;
}

PublicAnswer answer(const PublicRequest& request, const std::string& htmlBody, const std::string& jsonBody,
                    int status = 200) {
    if (request.json) return {status, jsonBody + "\n", "application/json"};
    return {status, htmlBody, "text/html; charset=utf-8"};
}

PublicAnswer notFound(const PublicRequest& request, const PublicView& view, const std::string& what) {
    return answer(request, page("Not found", "<p>" + htmlText(what) + "</p>\n", view),
                  "{\"error\":" + jsonString(what) + "}", 404);
}

// A positive number from the query, or `fallback`.
size_t number(const PublicRequest& request, const char* name, size_t fallback) {
    auto found = request.params.find(name);
    if (found == request.params.end() || found->second.empty() || found->second.size() > 9 ||
        found->second.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    const size_t value = std::stoul(found->second);
    return value == 0 ? fallback : value;
}

std::string param(const PublicRequest& request, const char* name) {
    auto found = request.params.find(name);
    return found == request.params.end() ? std::string() : utf8ToLatin1(found->second);
}

std::string pager(const std::string& base, size_t pageNumber, size_t pages) {
    std::string out = "<p>Page " + n(static_cast<int64_t>(pageNumber)) + " of " + n(static_cast<int64_t>(pages));
    if (pageNumber > 1) out += " &middot; <a rel=\"prev\" href=\"" + base + "page=" + n(static_cast<int64_t>(pageNumber - 1)) + "\">previous</a>";
    if (pageNumber < pages) out += " &middot; <a rel=\"next\" href=\"" + base + "page=" + n(static_cast<int64_t>(pageNumber + 1)) + "\">next</a>";
    return out + "</p>\n";
}

PublicAnswer networkPage(const PublicRequest& request, const PublicView& view) {
    const PublicOnline& online = view.online;
    std::string body = "<p>" + n(static_cast<int64_t>(online.players.size())) + " players online in " +
                       n(static_cast<int64_t>(online.zones.size())) + " zones; " +
                       n(static_cast<int64_t>(view.data.accounts().size())) + " accounts, " +
                       n(static_cast<int64_t>(view.data.squads().size())) + " squads.</p>\n";
    body += "<h2>Zones online</h2>\n<div class=\"wide\"><table id=\"zones\"><tr><th>Zone</th><th class=\"n\">Players</th>"
            "<th>Scores</th></tr>\n";
    for (const PublicOnline::Zone& zone : online.zones)
        body += "<tr><td>" + htmlText(zone.name) + "</td><td class=\"n\">" + n(zone.players) +
                "</td><td><a href=\"/scores/" + n(zone.scoreID) + "\">table</a></td></tr>\n";
    body += "</table></div>\n<h2>Players online</h2>\n";
    if (online.players.empty()) body += "<p>None.</p>\n";
    else {
        body += "<div class=\"wide\"><table id=\"players\"><tr><th>Player</th><th>Zone</th></tr>\n";
        for (const PublicOnline::Player& player : online.players)
            body += "<tr><td>" + playerLink(player.name) + "</td><td>" + htmlText(online.zones[player.zone].name) + "</td></tr>\n";
        body += "</table></div>\n";
    }
    body += "<h2>The last 24 hours</h2>\n";
    std::string chart = renderPlayersChart(view.history);
    body += chart.empty() ? "<p>No readings yet.</p>\n"
                          : chart + "<p>Times are UTC. A gap is a time with no reading: the server was not running.</p>\n";

    std::string j = "{\"time\":" + n(online.now) + ",\"data_time\":" + jsonTime(view.data.takenAt()) +
                    ",\"accounts\":" + n(static_cast<int64_t>(view.data.accounts().size())) +
                    ",\"squads\":" + n(static_cast<int64_t>(view.data.squads().size())) + ",\"zones\":[";
    for (size_t i = 0; i < online.zones.size(); ++i)
        j += std::string(i ? "," : "") + "{\"name\":" + jsonString(online.zones[i].name) + ",\"score_id\":" +
             n(online.zones[i].scoreID) + ",\"players\":" + n(online.zones[i].players) + "}";
    j += "],\"players\":[";
    for (size_t i = 0; i < online.players.size(); ++i)
        j += std::string(i ? "," : "") + "{\"name\":" + jsonString(online.players[i].name) + ",\"zone\":" +
             jsonString(online.zones[online.players[i].zone].name) + "}";
    j += "],\"players_online_24h\":{\"first_minute_start\":" + n(view.history.firstMinute * 60) + ",\"values\":[";
    for (size_t i = 0; i < view.history.buckets.size(); ++i) {
        const HistoryBucket& b = view.history.buckets[i];
        j += std::string(i ? "," : "") + (b.sampled ? n(b.players) : "null");
    }
    j += "]}}";
    return answer(request, page("The network", body, view), j);
}

PublicAnswer groupsPage(const PublicRequest& request, const PublicView& view) {
    std::string body = "<div class=\"wide\"><table id=\"groups\"><tr><th>Score group</th><th class=\"n\">ScoreID</th>"
                       "<th class=\"n\">Players</th></tr>\n";
    std::string j = "{\"score_groups\":[";
    bool first = true;
    for (const PublicData::Group& group : view.data.groups()) {
        const std::string name = groupName(view.online, group.scoreID);
        body += "<tr><td><a href=\"/scores/" + n(group.scoreID) + "\">" + htmlText(name) + "</a></td><td class=\"n\">" +
                n(group.scoreID) + "</td><td class=\"n\">" + n(static_cast<int64_t>(group.size())) + "</td></tr>\n";
        j += std::string(first ? "" : ",") + "{\"score_id\":" + n(group.scoreID) + ",\"name\":" + jsonString(name) +
             ",\"players\":" + n(static_cast<int64_t>(group.size())) + "}";
        first = false;
    }
    body += "</table></div>\n";
    return answer(request, page("Score tables", body, view), j + "]}");
}

PublicAnswer scoreTable(const PublicRequest& request, const PublicView& view, int32_t scoreID) {
    const PublicData::Group* group = view.data.group(scoreID);
    if (!group) return notFound(request, view, "No scores are kept for ScoreID " + n(scoreID) + ".");
    const ScoreLabelSet& labels = view.labels.of(scoreID);
    const size_t by = std::min<size_t>(number(request, "by", 1), kScoreValues) - 1;
    const size_t pages = std::max<size_t>(1, (group->size() + kPublicPageRows - 1) / kPublicPageRows);
    const size_t pageNumber = number(request, "page", 1);
    if (pageNumber > pages) return notFound(request, view, "The table has " + n(static_cast<int64_t>(pages)) + " pages.");
    const std::vector<uint32_t>& ranking = group->ranking[by];
    const size_t from = (pageNumber - 1) * kPublicPageRows;
    const size_t to = std::min(ranking.size(), from + kPublicPageRows);
    const std::string name = groupName(view.online, scoreID);
    const std::string base = "/scores/" + n(scoreID) + "?by=" + n(static_cast<int64_t>(by + 1)) + "&amp;";

    std::string body = "<p>" + n(static_cast<int64_t>(group->size())) + " players, ranked by <span class=\"by\">" +
                       htmlText(labels[by]) + "</span>. Rank by:";
    for (size_t k = 0; k < kScoreValues; ++k)
        body += std::string(k ? "," : "") + " <a href=\"/scores/" + n(scoreID) + "?by=" + n(static_cast<int64_t>(k + 1)) +
                "\">" + htmlText(labels[k]) + "</a>";
    body += "</p>\n" + pager(base, pageNumber, pages);
    body += "<div class=\"wide\"><table id=\"scores\"><tr><th class=\"n\">Rank</th><th>Player</th><th>Squad</th>";
    for (size_t k = 0; k < kScoreValues; ++k)
        body += "<th class=\"n" + std::string(k == by ? " by" : "") + "\"><a href=\"/scores/" + n(scoreID) + "?by=" +
                n(static_cast<int64_t>(k + 1)) + "\">" + htmlText(labels[k]) + "</a></th>";
    body += "</tr>\n";
    std::string j = "{\"score_id\":" + n(scoreID) + ",\"name\":" + jsonString(name) + ",\"by\":" + jsonString(labels[by]) +
                    ",\"labels\":[";
    for (size_t k = 0; k < kScoreValues; ++k) j += std::string(k ? "," : "") + jsonString(labels[k]);
    j += "],\"players\":" + n(static_cast<int64_t>(group->size())) + ",\"page\":" + n(static_cast<int64_t>(pageNumber)) +
         ",\"pages\":" + n(static_cast<int64_t>(pages)) + ",\"rows\":[";
    for (size_t i = from; i < to; ++i) {
        const PublicData::Score& score = view.data.scores()[ranking[i]];
        const PublicData::Account& account = view.data.accounts()[score.account];
        const std::string squad = account.squad == PublicData::kNone ? "" : view.data.squads()[account.squad].name;
        body += "<tr><td class=\"n\">" + n(static_cast<int64_t>(i + 1)) + "</td><td>" + playerLink(account.name) +
                "</td><td>" + (squad.empty() ? "" : squadLink(squad)) + "</td>";
        j += std::string(i > from ? "," : "") + "{\"rank\":" + n(static_cast<int64_t>(i + 1)) + ",\"name\":" +
             jsonString(account.name) + ",\"squad\":" + (squad.empty() ? "null" : jsonString(squad)) + ",\"values\":[";
        for (size_t k = 0; k < kScoreValues; ++k) {
            body += "<td class=\"n" + std::string(k == by ? " by" : "") + "\">" + n(score.values[k]) + "</td>";
            j += std::string(k ? "," : "") + n(score.values[k]);
        }
        body += "</tr>\n";
        j += "]}";
    }
    body += "</table></div>\n" + pager(base, pageNumber, pages);
    return answer(request, page("Scores: " + htmlText(name), body, view), j + "]}");
}

PublicAnswer playerPage(const PublicRequest& request, const PublicView& view) {
    const std::string name = param(request, "name");
    const PublicData::Account* account = view.data.findAccount(name);
    if (!account) return notFound(request, view, "No player is called \"" + name + "\".");
    const PublicData& data = view.data;
    const std::string squad = account->squad == PublicData::kNone ? "" : data.squads()[account->squad].name;
    const PublicOnline::Zone* zone = zoneOfPlayer(view.online, account->name);
    std::string body = "<div class=\"wide\"><table id=\"player\">";
    body += "<tr><th>Squad</th><td>" + (squad.empty() ? std::string("none") : squadLink(squad)) + "</td></tr>\n";
    body += "<tr><th>Play time</th><td>" + durationText(static_cast<uint32_t>(account->usage)) + "</td></tr>\n";
    body += "<tr><th>First login</th><td>" + when(account->created) + "</td></tr>\n";
    body += "<tr><th>Last login</th><td>" + when(account->lastLogin) + "</td></tr>\n";
    body += "<tr><th>Online now</th><td>" + (zone ? "in " + htmlText(zone->name) : std::string("no")) + "</td></tr>\n";
    body += "</table></div>\n<h2>Scores</h2>\n";
    std::string j = "{\"name\":" + jsonString(account->name) + ",\"squad\":" + (squad.empty() ? "null" : jsonString(squad)) +
                    ",\"play_time_seconds\":" + n(static_cast<uint32_t>(account->usage)) + ",\"first_login\":" +
                    jsonTime(account->created) + ",\"last_login\":" + jsonTime(account->lastLogin) +
                    ",\"online\":" + (zone ? "true" : "false") + ",\"zone\":" + (zone ? jsonString(zone->name) : "null") +
                    ",\"scores\":[";
    if (account->scoreCount == 0) body += "<p>None kept.</p>\n";
    for (uint32_t i = account->firstScore; i < account->firstScore + account->scoreCount; ++i) {
        const PublicData::Score& score = data.scores()[i];
        const ScoreLabelSet& labels = view.labels.of(score.scoreID);
        body += "<h3><a href=\"/scores/" + n(score.scoreID) + "\">" + htmlText(groupName(view.online, score.scoreID)) +
                "</a></h3>\n<div class=\"wide\"><table class=\"score\"><tr><th></th><th class=\"n\">Value</th>"
                "<th class=\"n\">Rank</th></tr>\n";
        j += std::string(i > account->firstScore ? "," : "") + "{\"score_id\":" + n(score.scoreID) + ",\"values\":{";
        const PublicData::Group* group = data.group(score.scoreID);
        const size_t pageRows = kPublicPageRows;
        for (size_t k = 0; k < kScoreValues; ++k) {
            const size_t onPage = (score.rank[k] - 1) / pageRows + 1;
            body += "<tr><th>" + htmlText(labels[k]) + "</th><td class=\"n\">" + n(score.values[k]) +
                    "</td><td class=\"n\"><a href=\"/scores/" + n(score.scoreID) + "?by=" + n(static_cast<int64_t>(k + 1)) +
                    "&amp;page=" + n(static_cast<int64_t>(onPage)) + "\">" + n(score.rank[k]) + " of " +
                    n(static_cast<int64_t>(group ? group->size() : 0)) + "</a></td></tr>\n";
            j += std::string(k ? "," : "") + jsonString(labels[k]) + ":{\"value\":" + n(score.values[k]) + ",\"rank\":" +
                 n(score.rank[k]) + "}";
        }
        body += "</table></div>\n";
        j += "}}";
    }
    return answer(request, page("Player " + htmlText(account->name), body, view), j + "]}");
}

PublicAnswer squadsPage(const PublicRequest& request, const PublicView& view) {
    const PublicData& data = view.data;
    const std::vector<uint32_t>& order = data.squadsBySize();
    const size_t pages = std::max<size_t>(1, (order.size() + kPublicPageRows - 1) / kPublicPageRows);
    const size_t pageNumber = number(request, "page", 1);
    if (pageNumber > pages) return notFound(request, view, "The list has " + n(static_cast<int64_t>(pages)) + " pages.");
    const size_t from = (pageNumber - 1) * kPublicPageRows, to = std::min(order.size(), from + kPublicPageRows);
    std::string body = "<p>" + n(static_cast<int64_t>(order.size())) + " squads, the largest first.</p>\n" +
                       pager("/squads?", pageNumber, pages);
    body += "<div class=\"wide\"><table id=\"squads\"><tr><th>Squad</th><th class=\"n\">Members</th><th>Owner</th></tr>\n";
    std::string j = "{\"squads\":" + n(static_cast<int64_t>(order.size())) + ",\"page\":" +
                    n(static_cast<int64_t>(pageNumber)) + ",\"pages\":" + n(static_cast<int64_t>(pages)) + ",\"rows\":[";
    for (size_t i = from; i < to; ++i) {
        const PublicData::Squad& squad = data.squads()[order[i]];
        const std::string owner = squad.owner == PublicData::kNone ? "" : data.accounts()[squad.owner].name;
        body += "<tr><td>" + squadLink(squad.name) + "</td><td class=\"n\">" +
                n(static_cast<int64_t>(squad.members.size())) + "</td><td>" +
                (owner.empty() ? "" : playerLink(owner)) + "</td></tr>\n";
        j += std::string(i > from ? "," : "") + "{\"name\":" + jsonString(squad.name) + ",\"members\":" +
             n(static_cast<int64_t>(squad.members.size())) + ",\"owner\":" + (owner.empty() ? "null" : jsonString(owner)) + "}";
    }
    body += "</table></div>\n";
    return answer(request, page("Squads", body, view), j + "]}");
}

PublicAnswer squadPage(const PublicRequest& request, const PublicView& view) {
    const std::string name = param(request, "name");
    const PublicData::Squad* squad = view.data.findSquad(name);
    if (!squad) return notFound(request, view, "No squad is called \"" + name + "\".");
    const PublicData& data = view.data;
    const std::string owner = squad->owner == PublicData::kNone ? "" : data.accounts()[squad->owner].name;
    std::string body = "<p>" + n(static_cast<int64_t>(squad->members.size())) + " members. Owner: " +
                       (owner.empty() ? std::string("none") : playerLink(owner)) + ".</p>\n";
    body += "<div class=\"wide\"><table id=\"members\"><tr><th>Member</th><th>Last login</th></tr>\n";
    std::string j = "{\"name\":" + jsonString(squad->name) + ",\"owner\":" + (owner.empty() ? "null" : jsonString(owner)) +
                    ",\"members\":[";
    for (size_t i = 0; i < squad->members.size(); ++i) {
        const PublicData::Account& member = data.accounts()[squad->members[i]];
        const bool isOwner = squad->members[i] == squad->owner;
        body += "<tr><td>" + playerLink(member.name) + (isOwner ? " <strong>(owner)</strong>" : "") + "</td><td>" +
                when(member.lastLogin) + "</td></tr>\n";
        j += std::string(i ? "," : "") + "{\"name\":" + jsonString(member.name) + ",\"owner\":" + (isOwner ? "true" : "false") +
             ",\"last_login\":" + jsonTime(member.lastLogin) + "}";
    }
    body += "</table></div>\n";
    return answer(request, page("Squad " + htmlText(squad->name), body, view), j + "]}");
}

PublicAnswer searchPage(const PublicRequest& request, const PublicView& view) {
    const std::string prefix = param(request, "q");
    std::string body = "<form action=\"/search\" method=\"get\"><input name=\"q\" value=\"" + htmlText(prefix) +
                       "\" aria-label=\"Beginning of a name\"> <button>Find</button></form>\n";
    std::string j = "{\"q\":" + jsonString(prefix) + ",\"players\":[";
    if (!prefix.empty()) {
        std::vector<uint32_t> found = view.data.search(prefix, kPublicPageRows);
        body += "<p>" + (found.empty() ? std::string("No player's name begins with that.")
                                       : n(static_cast<int64_t>(found.size())) +
                                             (found.size() == kPublicPageRows ? " players (the first " : " players (") +
                                             "in name order).") + "</p>\n";
        if (!found.empty()) body += "<ul id=\"found\">\n";
        for (size_t i = 0; i < found.size(); ++i) {
            const std::string& name = view.data.accounts()[found[i]].name;
            body += "<li>" + playerLink(name) + "</li>\n";
            j += std::string(i ? "," : "") + jsonString(name);
        }
        if (!found.empty()) body += "</ul>\n";
    }
    return answer(request, page("Find a player", body, view), j + "]}");
}

}  // namespace

PublicAnswer renderPublicPage(const PublicRequest& request, const PublicView& view) {
    const std::string& path = request.path;
    if (path == "/" || path == "/index") return networkPage(request, view);
    if (path == "/scores") return groupsPage(request, view);
    if (path.rfind("/scores/", 0) == 0) {
        const std::string id = path.substr(8);
        if (!id.empty() && id.size() <= 10 && id.find_first_not_of("-0123456789") == std::string::npos &&
            id.find('-', 1) == std::string::npos && id != "-") {
            const long long value = std::stoll(id);
            if (value >= INT32_MIN && value <= INT32_MAX) return scoreTable(request, view, static_cast<int32_t>(value));
        }
    }
    if (path == "/player") return playerPage(request, view);
    if (path == "/squads") return squadsPage(request, view);
    if (path == "/squad") return squadPage(request, view);
    if (path == "/search") return searchPage(request, view);
    return notFound(request, view, "There is no such page.");
}

std::string urlEncode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    return out;
}

std::string utf8ToLatin1(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((byte == 0xC2 || byte == 0xC3) && (next & 0xC0) == 0x80) {
            out += static_cast<char>(((byte & 0x03) << 6) | (next & 0x3F));
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace tallysv
