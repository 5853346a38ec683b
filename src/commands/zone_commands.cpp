#include "commands/zone_commands.h"

#include <unordered_set>

#include "commands/number_argument.h"
#include "commands/operator_access.h"
#include "core/text_string.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

constexpr int kZoneQuota = 10;
constexpr size_t kPasswordLimit = 31;
const char* const kZoneSlotEmpty = "Specified zone slot is empty";

// Zone registrations and connected zones are open to network-wide
// operators and to those of the zone's group; the ScoreID of the operator
// is not looked at.
bool zoneAccessible(const OperatorRecord& op, int32_t groupID) { return op.groupID == 0 || op.groupID == groupID; }

// Takes score records out of every zone's score list and every player's
// session before they are freed, so that nothing points at them after.
void forgetScores(CommandContext& command, const std::unordered_set<ScoreRecord*>& gone) {
    for (const auto& host : command.zones.transport().hosts()) {
        ZoneSession* zone = existingZoneSession(*host);
        if (!zone) continue;
        std::vector<ScoreRecord*> kept;
        for (ScoreRecord* score : zone->scores())
            if (!gone.count(score)) kept.push_back(score);
        if (kept.size() != zone->scores().size()) {
            zone->clearScores();
            for (ScoreRecord* score : kept) zone->addScore(score);
        }
        for (const auto& player : zone->players())
            if (player->score && gone.count(player->score)) player->score = nullptr;
    }
}

// The reset of one zone's session: no score list, no player's score, no
// scores taken until the zone logs in again, which it is asked to do.
void resetZone(CommandContext& command, Host& host) {
    if (ZoneSession* zone = existingZoneSession(host)) {
        zone->clearScores();
        for (const auto& player : zone->players()) player->score = nullptr;
    }
    zoneSession(host).scoresEnabled = false;
    command.zones.sendRecycleOrder(host);
}

int playerCount(const Host& host) {
    const ZoneSession* zone = existingZoneSession(host);
    return zone ? static_cast<int>(zone->players().size()) : 0;
}

// The ScoreID and password of "<ScoreID>:<password>"; no value without a
// ":" or with a number too long for a ScoreID.
struct ZoneArguments {
    std::optional<int32_t> scoreID;
    bool colon = false;
    std::string_view password;
};
ZoneArguments zoneArguments(std::string_view args) {
    ZoneArguments out;
    std::string_view rest = textOf(args);
    size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return out;
    out.colon = true;
    out.scoreID = wholeNumber(rest.substr(0, colon));
    out.password = rest.substr(colon + 1, kPasswordLimit);
    return out;
}

// The connected zone a ?closezone or ?recyclezone names: its own without a
// number, else the one with that ScoreID; none when it is not open to the
// operator. A caller outside any zone has no zone of its own.
Host* targetZone(CommandContext& command) {
    Host* zone = command.outsideZone() ? nullptr : &command.zone;
    if (!command.args.empty()) {
        std::optional<int32_t> scoreID = wholeNumber(textOf(command.args));
        zone = scoreID ? command.connectedZone(*scoreID) : nullptr;
    }
    if (!zone || !zoneAccessible(*command.op(), zoneOf(*zone).groupId)) return nullptr;
    return zone;
}

}  // namespace

void commandBlock(CommandContext& command) {
    UserRecord* target = &command.user();
    if (!command.args.empty()) {
        target = command.database.findUser(textOf(command.args));
        if (!target) return command.reply("Specified user was not found in the database");
    }
    if (target->passBlock != 0) {
        target->passBlock = 0;
        command.reply("PassBlock: Normal");
    } else {
        target->passBlock = 1;
        command.reply("PassBlock: Banfree");
    }
}

void commandWrite(CommandContext& command) {
    command.replyBeforeWait("Please wait...");
    bool stored = command.processor.services.saveDatabase ? command.processor.services.saveDatabase()
                                                          : command.database.save().isOk();
    // A save that failed is never reported as done; the console tells why.
    command.reply(stored ? "Database stored to disk" : "Database could not be stored to disk");
}

void commandRead(CommandContext& command) {
    command.replyBeforeWait("Please wait...");
    readConfiguration(command.processor.settings(), command.database, command.processor.log());
    command.reply("Settings loaded from disk");
}

void commandVersion(CommandContext& command) {
    command.reply("Tallysv pre-release. Build 11");
    command.reply("Core provided by Marlo. With thanks to Quince Emulator & Brackwater & RQT");
}

void commandNetworkreset(CommandContext& command) {
    command.reply("Recycling network for the score reset");
    std::unordered_set<ScoreRecord*> gone;
    for (ScoreRecord* score : command.database.scores()) gone.insert(score);
    forgetScores(command, gone);
    for (ScoreRecord* score = command.database.scores().head(); score;) {
        ScoreRecord* next = score->tableNext();
        command.database.removeScore(score);
        score = next;
    }
    for (const auto& host : command.zones.transport().hosts())
        if (host->loggedIn()) resetZone(command, *host);
}

void commandGroupreset(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    const int32_t group = op.groupID != 0 ? op.groupID : zoneOf(command.zone).groupId;
    command.reply("Recycling zones within your group for the score reset");
    std::unordered_set<ScoreRecord*> gone;
    std::vector<Host*> reset;
    for (const auto& host : command.zones.transport().hosts()) {
        if (!host->loggedIn() || zoneOf(*host).groupId != group) continue;
        reset.push_back(host);
        if (const ZoneSession* zone = existingZoneSession(*host))
            for (ScoreRecord* score : zone->scores()) gone.insert(score);
    }
    forgetScores(command, gone);
    for (ScoreRecord* score : gone) command.database.removeScore(score);
    for (Host* host : reset) resetZone(command, *host);
}

void commandRemovezone(CommandContext& command) {
    if (command.args.empty()) return;
    std::optional<int32_t> scoreID = wholeNumber(textOf(command.args));
    ZoneRecord* record = scoreID ? command.database.findZone(*scoreID) : nullptr;
    if (!record || !zoneAccessible(*command.op(), record->groupID)) return command.reply(kZoneSlotEmpty);
    command.database.removeZone(record);
    command.reply("Zone unregistered. Recycle zone for it to take effect");
}

void commandAddzone(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (command.args.empty()) return command.requiresParameters("addzone");
    if (op.groupID != 0) {
        int count = 0;
        for (const ZoneRecord* record : command.database.zones())
            if (record->groupID == op.groupID) ++count;
        if (count >= kZoneQuota) return command.reply("You have exceeded your zone quota of 10 slots");
    }
    ZoneArguments arguments = zoneArguments(command.args);
    if (!arguments.colon || !arguments.scoreID || *arguments.scoreID < 1)
        return command.reply("Oops. Format: ?addzone <Score ID>:<Password>");
    if (command.database.findZone(*arguments.scoreID)) return command.reply("Specified zone slot is already taken");
    if (op.scoreID != 0) return command.reply("You require group-wide acess to use this command");
    const int32_t group = op.groupID != 0 ? op.groupID : zoneOf(command.zone).groupId;
    command.database.createZone(*arguments.scoreID, group, arguments.password);
    command.reply(TextString("Zone registered under group ").append(group).view());
}

void commandChangezone(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("changezone");
    ZoneArguments arguments = zoneArguments(command.args);
    if (!arguments.colon) return command.reply("Oops. Format: ?changezone <Score ID>:<Password>");
    ZoneRecord* record = arguments.scoreID ? command.database.findZone(*arguments.scoreID) : nullptr;
    if (!record || !zoneAccessible(*command.op(), record->groupID)) return command.reply(kZoneSlotEmpty);
    record->password = command.database.passwordField(arguments.password);
    command.reply("Zone password changed");
}

void commandListzone(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    bool listed = false;
    for (const ZoneRecord* record : command.database.zones()) {
        if (!zoneAccessible(op, record->groupID)) continue;
        TextString line;
        line.assign(record->scoreID());
        if (const Host* zone = command.connectedZone(record->scoreID())) {
            if (record->groupID == zoneOf(*zone).groupId)
                line.append(" - {").append(record->groupID).append("} Online: ");
            else
                line.append(" - {Invalid GroupID (")
                    .append(record->groupID)
                    .append(")(")
                    .append(zoneOf(*zone).groupId)
                    .append(")} Online: ");
            line.append(zoneOf(*zone).zoneNameText().c_str()).append("(").append(playerCount(*zone)).append(")");
        } else {
            line.append(" - Offline");
        }
        command.reply(line.view());
        listed = true;
    }
    for (const auto& host : command.zones.transport().hosts()) {
        if (host->closed() || !zoneAccessible(op, zoneOf(*host).groupId)) continue;
        TextString line;
        if (!host->loggedIn()) {
            line.assign("Connecting: ").append(addressText(host->peer.address).c_str());
            line.append(" : ").append(static_cast<int32_t>(host->peer.port));
        } else if (!command.database.findZone(zoneOf(*host).scoreId)) {
            line.assign(zoneOf(*host).scoreId).append(" - {").append(zoneOf(*host).groupId).append("} Online(Unregistered): ");
            line.append(zoneOf(*host).zoneNameText().c_str()).append("(").append(playerCount(*host)).append(")");
        } else {
            continue;
        }
        command.reply(line.view());
        listed = true;
    }
    if (!listed) command.reply("No zones");
}

void commandClosezone(CommandContext& command) {
    Host* zone = targetZone(command);
    if (!zone) return command.reply(kZoneSlotEmpty);
    command.reply("Shutdown in progress");
    command.zones.sendShutdownOrder(*zone);
}

void commandRecyclezone(CommandContext& command) {
    Host* zone = targetZone(command);
    if (!zone) return command.reply(kZoneSlotEmpty);
    command.reply("Recycle in progress");
    command.zones.sendRecycleOrder(*zone);
}

void commandGroupid(CommandContext& command) {
    if (!zoneCommandAccess(*command.op(), command.zone)) return command.reply(kNoAccessHere);
    command.reply(TextString("GroupId:").append(zoneOf(command.zone).groupId).view());
}

void commandScoreid(CommandContext& command) {
    if (!zoneCommandAccess(*command.op(), command.zone)) return command.reply(kNoAccessHere);
    command.reply(TextString("ScoreId:").append(zoneOf(command.zone).scoreId).view());
}

void commandNotifyzone(CommandContext& command) {
    PlayerSession& player = command.player;
    int value = command.onOffSwitch("1Yy", "0Nn");
    if (value < 0)
        return command.reply(player.NotifyZone ? "Zone notify is currently ENABLED" : "Zone notify is currently DISABLED");
    player.NotifyZone = static_cast<uint8_t>(value);
    if (User2Record* registration = player.user->registration()) registration->NotifyZone = value != 0;
    command.reply(value ? "Zone notify ENABLED" : "Zone notify DISABLED");
}

void commandExtchat(CommandContext& command) {
    Host& zone = command.zone;
    int value = command.onOffSwitch("1TYty", "0FNfn");
    // Anyone of tier 2 may ask; only an operator of the zone's sector may
    // cut it off from the network's chat or open it again.
    if (value >= 0 && !zoneCommandAccess(*command.op(), zone)) return command.reply(kNoAccessHere);
    if (value >= 0) zoneSession(zone).externalChat = value != 0;
    command.reply(zoneOf(zone).externalChat ? "External chat ENABLED" : "External chat DISABLED");
}

}  // namespace tallysv
