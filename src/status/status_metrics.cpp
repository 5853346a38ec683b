#include <algorithm>
#include <string>

#include "status/status_pages.h"

namespace tallysv {

namespace {

std::string labelValue(std::string_view text) {
    std::string out;
    for (char c : latin1ToUtf8(text)) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// One metric family: its HELP and TYPE lines, then its samples.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        name_ = name;
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& value, const std::string& labels = "") {
        text_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    template <typename Number>
    void sample(Number n, const std::string& labels = "") {
        sample(std::to_string(n), labels);
    }
    void one(const char* name, const char* type, const char* help, uint64_t value) {
        family(name, type, help);
        sample(value);
    }
    const std::string& text() const { return text_; }

private:
    std::string name_;
    std::string text_;
};

}  // namespace

std::string renderMetrics(const StatusSnapshot& s) {
    Exposition m;
    m.family("tallysv_build_info", "gauge", "The server's version, as a label; always 1.");
    m.sample(1, "version=\"" + labelValue(s.version) + "\"");
    m.family("tallysv_start_time_seconds", "gauge", "When the server started, in seconds since 1970.");
    m.sample(s.startTime);

    m.family("tallysv_player_logins_total", "counter", "Player logins by how they ended.");
    for (size_t i = 0; i < s.zoneCounters.playerLogins.size(); ++i)
        m.sample(s.zoneCounters.playerLogins[i],
                 std::string("result=\"") + outcomeName(static_cast<PlayerLoginOutcome>(i)) + "\"");
    m.family("tallysv_zone_logins_total", "counter", "Zone logins by how they ended.");
    for (size_t i = 0; i < s.zoneCounters.zoneLogins.size(); ++i)
        m.sample(s.zoneCounters.zoneLogins[i],
                 std::string("result=\"") + outcomeName(static_cast<ZoneLoginOutcome>(i)) + "\"");
    m.one("tallysv_commands_total", "counter", "Commands received from players.", s.commands);
    m.one("tallysv_chat_messages_total", "counter", "Chat channel messages received from players.",
          s.zoneCounters.chatMessages);
    m.one("tallysv_broadcasts_total", "counter", "Broadcasts received from zones.", s.zoneCounters.broadcasts);
    m.one("tallysv_datagrams_received_total", "counter", "UDP datagrams received.", s.transport.datagramsIn);
    m.one("tallysv_datagrams_sent_total", "counter", "UDP datagrams sent.", s.transport.datagramsOut);
    m.one("tallysv_resends_total", "counter", "Reliable datagrams sent again for want of an acknowledgement.",
          s.transport.resends);
    m.one("tallysv_saves_total", "counter", "Saves of the database that ended, written or not.", s.saves.saves);
    m.one("tallysv_saves_failed_total", "counter", "Saves of the database that failed.", s.saves.failedSaves);
    m.one("tallysv_peers_refused_total", "counter",
          "Datagrams from a new address dropped because every host slot was taken.", s.transport.peersRefused);

    m.one("tallysv_zones", "gauge", "Zones connected.", s.zones.size());
    m.one("tallysv_players", "gauge", "Players online in every zone.", s.playersOnline);
    m.one("tallysv_host_slots_used", "gauge", "Peers the server holds, zones or not.", s.hostSlotsUsed);
    m.one("tallysv_host_slots_limit", "gauge", "Peers the server may hold (MaxQueueForLogin + 1).", s.hostSlotLimit);
    m.one("tallysv_accounts", "gauge", "Player accounts.", s.accounts);
    m.one("tallysv_squads", "gauge", "Squads.", s.squads);
    m.one("tallysv_chat_channels", "gauge", "Chat channels in use.", s.chatChannels);
    m.one("tallysv_bans", "gauge", "Bans.", s.bans);
    m.one("tallysv_operators_online", "gauge", "Players logged in as operators.", s.operatorsOnline);
    m.family("tallysv_save_period_seconds", "gauge", "Time between two periodic saves (PeriodicSave).");
    m.sample(std::to_string(std::max(s.savePeriodMs, 0) / 1000) + "." +
             std::to_string(1000 + std::max(s.savePeriodMs, 0) % 1000).substr(1));
    if (s.saves.any) {
        m.family("tallysv_last_save_duration_seconds", "gauge", "How long the last save took.");
        m.sample(std::to_string(s.saves.lastDurationMs / 1000) + "." +
                 std::to_string(1000 + s.saves.lastDurationMs % 1000).substr(1));
        m.one("tallysv_last_save_time_seconds", "gauge", "When the last save began, in seconds since 1970.",
              static_cast<uint64_t>(s.saves.lastTime));
        m.one("tallysv_last_save_success", "gauge", "1 when the last save was written, 0 when it failed.",
              s.saves.lastSucceeded ? 1 : 0);
    }
    if (s.saves.anySucceeded)
        m.one("tallysv_last_successful_save_time_seconds", "gauge",
              "When the last save that was written began, in seconds since 1970.",
              static_cast<uint64_t>(s.saves.lastSuccessTime));

    m.family("tallysv_zone_players", "gauge", "Players online in one connected zone.");
    for (const ZoneFigures& z : s.zones)
        m.sample(z.players, "score_id=\"" + std::to_string(z.scoreID) + "\",zone=\"" + labelValue(z.name) + "\"");
    m.family("tallysv_zone_resends_total", "counter", "Reliable datagrams sent again to one connected zone.");
    for (const ZoneFigures& z : s.zones)
        m.sample(z.resends, "score_id=\"" + std::to_string(z.scoreID) + "\",zone=\"" + labelValue(z.name) + "\"");
    return m.text();
}

}  // namespace tallysv
