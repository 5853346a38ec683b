#include "control/control_commands.h"

#include <cstdio>

#include "commands/command_secrets.h"
#include "core/text.h"

#include "net/peer_address.h"
#include "db/fixed_text.h"
#include "status/status_pages.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

// The exact texts ?write answers with.
constexpr std::string_view kStored = "Database stored to disk";

// A command's replies as they are printed: as they are, or as JSON lines.
ControlAnswer replies(ControlAnswer answer, bool json) {
    if (json)
        for (std::string& line : answer.lines) line = "{\"reply\":" + jsonText(line) + "}";
    return answer;
}

bool listedOperator(const Database& database, const OperatorRecord* op) {
    for (const OperatorRecord* record : database.operators())
        if (record == op) return true;
    return false;
}

std::string playerRow(const PlayerSession& player, const Host& zone, bool json) {
    const std::string zoneName = zoneOf(zone).zoneNameText();
    const std::string scoreID = std::to_string(zoneOf(zone).scoreId);
    if (json) {
        std::string row = "{\"name\":" + jsonText(player.name()) + ",\"scoreID\":" + scoreID +
                          ",\"zone\":" + jsonText(zoneName) + ",\"operator\":";
        row += player.op ? std::to_string(player.op->level) : "null";
        return row + "}";
    }
    // A tab in a name would make a column of its own: names are escaped.
    std::string row = escapeControlBytes(player.name()) + "\t" + scoreID + "\t" + escapeControlBytes(zoneName) + "\t";
    return row + (player.op ? std::to_string(player.op->level) : "-");
}

}  // namespace

ControlCommands::ControlCommands(Mutex& lock, ZoneProtocol& zones, CommandProcessor& commands, Log& log,
                                 ControlServices services)
    : lock_(lock), zones_(zones), commands_(commands), log_(log), services_(std::move(services)) {}

ControlAnswer ControlCommands::run(const ControlRequest& request, const ControlPeer& peer) {
    switch (request.verb) {
        case ControlVerb::Run:
            return replies(runCommand(request, peer, request.argument), request.json);
        case ControlVerb::Save: {
            ControlAnswer answer = runCommand(ControlRequest{}, peer, "?write");
            if (answer.lines.empty() || answer.lines.back() != kStored) answer.status = kControlNothing;
            return replies(std::move(answer), request.json);
        }
        case ControlVerb::Reload:
            return replies(runCommand(ControlRequest{}, peer, "?read"), request.json);
        case ControlVerb::Zones: {
            MutexLock guard(lock_);
            logRequest(request, peer, "zones");
            return zoneList(request.json);
        }
        case ControlVerb::Players:
        case ControlVerb::Find: {
            MutexLock guard(lock_);
            const bool find = request.verb == ControlVerb::Find;
            logRequest(request, peer, find ? "find " + request.argument : "players");
            return playerList(request.json, find ? &request.argument : nullptr);
        }
        case ControlVerb::Status:
            // Monitoring asks for it often: it changes nothing and is not
            // written to the console.
            return status();
    }
    return {};
}

void ControlCommands::logRequest(const ControlRequest& request, const ControlPeer& peer, const std::string& text) {
    if (request.operatorEntry != 0)
        log_.printf("Control(uid %u pid %d as %d)>%s\n", peer.uid, static_cast<int>(peer.pid),
                    static_cast<int>(request.operatorEntry), text.c_str());
    else
        log_.printf("Control(uid %u pid %d)>%s\n", peer.uid, static_cast<int>(peer.pid), text.c_str());
}

ControlAnswer ControlCommands::runCommand(const ControlRequest& request, const ControlPeer& peer,
                                          const std::string& text) {
    MutexLock guard(lock_);
    LogBatch batch(log_);
    Database& database = zones_.database();
    ControlAnswer answer;

    // The Network Administrator of the socket is no entry of the table: it
    // has no password and no account, and no ?removeop can take it away.
    OperatorRecord administrator;
    OperatorRecord* op = &administrator;
    if (request.operatorEntry != 0) {
        op = nullptr;
        int32_t number = 0;
        for (OperatorRecord* record : database.operators())
            if (++number == request.operatorEntry) {
                op = record;
                break;
            }
        if (!op) {
            answer.errors.push_back("no operator entry " + std::to_string(request.operatorEntry));
            answer.status = kControlRefused;
            return answer;
        }
    }
    // Passwords never reach the console, as for a zone's commands.
    logRequest(request, peer, maskCommandSecrets(text));

    // The caller's zone: one of its own, in the operator's sector, that
    // never logs in and to which nothing is ever sent. Commands about "this
    // zone" find no players there and no zone to order.
    Host zone(zones_.transport(), PeerAddress{});
    zone.state = HostState::Closed;
    zoneSession(zone).scoreId = op->scoreID;
    zoneSession(zone).groupId = op->groupID;
    PlayerSession player;
    player.zone = &zone;
    player.user = op->user ? op->user : &database.placeholderUser;
    player.op = op;
    op->sessionCount += 1;

    CommandProcessor::CollectedReplies replies;
    replies.player = &player;
    commands_.collectReplies(&replies);
    const bool matched = commands_.dispatch(player, text, static_cast<int>(text.size()), &peer);
    commands_.collectReplies(nullptr);
    // Work handed to a worker (the whois lookup of ?ban -!) is completed for
    // a player still in his zone; this caller's session ends with the
    // request, so such a command is never completed. Say so, rather than
    // leave the caller with "Please wait" and a status of success.
    const ZoneSession* session = existingZoneSession(zone);
    const bool unfinished = session && !session->pending.empty();

    // The session ends with the request, as a player's does at leaving: its
    // channels and its operator login go.
    zones_.leaveAllChannels(player, true);
    if (player.op && (player.op == &administrator || listedOperator(database, player.op)))
        player.op->sessionCount -= 1;

    answer.lines = std::move(replies.lines);
    if (!replies.refusals.empty()) {
        answer.errors = std::move(replies.refusals);
        answer.status = kControlRefused;
    } else if (!matched) {
        answer.errors.push_back("no command matched");
        answer.status = kControlNothing;
    } else if (unfinished) {
        answer.errors.push_back("not completed: the command waits for a worker (a whois lookup), which only a "
                                "player in a zone can wait for");
        answer.status = kControlNothing;
    }
    return answer;
}

ControlAnswer ControlCommands::zoneList(bool json) {
    ControlAnswer answer;
    for (const auto& host : zones_.transport().hosts()) {
        if (!host->loggedIn()) continue;
        const ZoneSession& zone = zoneOf(*host);
        const std::string scoreID = std::to_string(zone.scoreId);
        const std::string groupID = std::to_string(zone.groupId);
        const std::string players = std::to_string(zone.players().size());
        const std::string address = peerText(host->peer);
        if (json)
            answer.lines.push_back("{\"scoreID\":" + scoreID + ",\"groupID\":" + groupID + ",\"players\":" + players +
                                   ",\"address\":" + jsonText(address) + ",\"name\":" + jsonText(zone.zoneNameText()) + "}");
        else
            answer.lines.push_back(scoreID + "\t" + groupID + "\t" + players + "\t" + address + "\t" +
                                   escapeControlBytes(zone.zoneNameText()));
    }
    return answer;
}

ControlAnswer ControlCommands::playerList(bool json, const std::string* name) {
    ControlAnswer answer;
    for (const auto& host : zones_.transport().hosts()) {
        if (!host->loggedIn()) continue;
        const ZoneSession* session = existingZoneSession(*host);
        if (!session) continue;
        for (const auto& player : session->players())
            if (!name || equalFolded(player->user->name(), *name)) answer.lines.push_back(playerRow(*player, *host, json));
    }
    if (name && answer.lines.empty()) {
        answer.errors.push_back(*name + " is in no zone");
        answer.status = kControlNothing;
    }
    return answer;
}

ControlAnswer ControlCommands::status() {
    ControlAnswer answer;
    if (!services_.statusSnapshot) {
        answer.errors.push_back("no status here");
        answer.status = kControlRefused;
        return answer;
    }
    const std::string json = renderStatusJson(services_.statusSnapshot());
    size_t start = 0;
    while (start < json.size()) {
        size_t end = json.find('\n', start);
        if (end == std::string::npos) end = json.size();
        answer.lines.push_back(json.substr(start, end - start));
        start = end + 1;
    }
    return answer;
}

}  // namespace tallysv
