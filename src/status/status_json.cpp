#include <cstdio>
#include <string>

#include "status/status_pages.h"

namespace tallysv {

namespace {

// Members of one object, comma-separated.
class JsonObject {
public:
    template <typename Number>
    JsonObject& number(const char* key, Number n) {
        return raw(key, std::to_string(n));
    }
    JsonObject& text(const char* key, std::string_view value) { return raw(key, jsonString(value)); }
    JsonObject& flag(const char* key, bool value) { return raw(key, value ? "true" : "false"); }
    JsonObject& raw(const char* key, const std::string& json) {
        body_ += (body_.empty() ? "" : ",") + jsonString(key) + ":" + json;
        return *this;
    }
    std::string str() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

}  // namespace

std::string renderStatusJson(const StatusSnapshot& s) {
    std::string zones;
    for (const ZoneFigures& z : s.zones) {
        JsonObject zone;
        zone.text("name", z.name).number("score_id", z.scoreID).number("group_id", z.groupID);
        zone.text("address", z.address).number("connected_since", z.connectedSince);
        zone.number("players", z.players).number("resends", z.resends);
        zones += (zones.empty() ? "" : ",") + zone.str();
    }
    JsonObject totals;
    totals.number("accounts", s.accounts).number("players_online", s.playersOnline).number("squads", s.squads);
    totals.number("chat_channels", s.chatChannels).number("bans", s.bans);
    totals.number("operators_online", s.operatorsOnline);
    totals.number("host_slots_used", s.hostSlotsUsed).number("host_slot_limit", s.hostSlotLimit);

    JsonObject save;
    save.number("saves", s.saves.saves).number("failed_saves", s.saves.failedSaves);
    if (s.saves.any) {
        save.number("last_time", s.saves.lastTime).number("last_duration_ms", s.saves.lastDurationMs);
        save.flag("last_succeeded", s.saves.lastSucceeded);
    }
    if (!s.lastBackup.empty()) save.text("last_backup", s.lastBackup);

    JsonObject playerLogins, zoneLogins;
    for (size_t i = 0; i < s.zoneCounters.playerLogins.size(); ++i)
        playerLogins.number(outcomeName(static_cast<PlayerLoginOutcome>(i)), s.zoneCounters.playerLogins[i]);
    for (size_t i = 0; i < s.zoneCounters.zoneLogins.size(); ++i)
        zoneLogins.number(outcomeName(static_cast<ZoneLoginOutcome>(i)), s.zoneCounters.zoneLogins[i]);
    JsonObject counters;
    counters.raw("player_logins", playerLogins.str()).raw("zone_logins", zoneLogins.str());
    counters.number("commands", s.commands).number("chat_messages", s.zoneCounters.chatMessages);
    counters.number("broadcasts", s.zoneCounters.broadcasts);
    counters.number("datagrams_in", s.transport.datagramsIn).number("datagrams_out", s.transport.datagramsOut);
    counters.number("resends", s.transport.resends);

    JsonObject all;
    all.text("version", s.version).number("time", s.now).number("start_time", s.startTime);
    all.number("uptime_seconds", int64_t{s.now} - s.startTime);
    all.raw("zones", "[" + zones + "]").raw("totals", totals.str()).raw("save", save.str());
    all.raw("counters", counters.str());
    return all.str() + "\n";
}

}  // namespace tallysv
