#include "commands/operator_commands.h"

#include <cstring>

#include "commands/operator_access.h"
#include "commands/switch_scan.h"
#include "core/ini_file.h"
#include "core/text.h"
#include "core/text_string.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

constexpr int kPasswordLimit = 31;
constexpr int kEntryDigits = 7;

const char* levelName(uint8_t level) {
    switch (level) {
        case 0: return "0 - Network Administrator";
        case 1: return "1 - Group Manager";
        case 2: return "2 - SysOp";
        case 3: return "3 - Super Moderator";
        case 4: return "4 - Moderator";
        default: return "";
    }
}

// The record with the given entry number among those the issuer sees.
OperatorRecord* visibleEntry(const Database& database, const OperatorRecord& issuer, int32_t issuerGroupID,
                             int32_t number) {
    int32_t counter = 0;
    for (OperatorRecord* record : database.operators()) {
        if (!operatorVisible(issuer, issuerGroupID, *record)) continue;
        if (++counter == number) return record;
    }
    return nullptr;
}

}  // namespace

void commandLogin(CommandContext& command) {
    if (command.args.empty()) return command.reply("SYNTAX: ?login <password>");
    if (command.op()) return command.reply("Already logged on as an Operator. Use ?dop to lift Operator status");
    OperatorRecord* op = command.database.findOperatorForPassword(&command.user(), textOf(command.args));
    // A failed login says nothing: the player learns nothing of which
    // passwords exist.
    if (!op) return;
    command.player.op = op;
    op->sessionCount += 1;
    TextString line;
    if (op->groupID == 0)
        line.assign("Successfully logged on as Network-wide level ");
    else if (op->scoreID != 0)
        line.assign("Successfully logged on as Zone-wide Operator level ");
    else
        line.assign("Successfully logged on as Group-wide Operator level ");
    command.reply(line.append(op->level).view());
    if (!checkSectorPower(*op, command.zone)) command.reply(kLimitedPowers);
}

void commandDeop(CommandContext& command) {
    OperatorRecord* op = command.op();
    if (!op) return;
    op->sessionCount -= 1;
    command.player.op = nullptr;
    command.reply("Successfully logged out");
}

void commandWhois(CommandContext& command) {
    // Alone: about the asker. With a name: the first player of that name
    // in zone order who is not ghosting.
    const OperatorRecord* target = command.op();
    if (!command.args.empty()) {
        target = nullptr;
        const std::string_view name = textOf(command.args);
        for (const auto& host : command.zones.transport().hosts()) {
            ZoneSession* zone = existingZoneSession(*host);
            PlayerSession* player = zone ? zone->findPlayerByName(name, false) : nullptr;
            if (!player || player->ghosting) continue;
            target = player->op;
            break;
        }
    }
    if (!target) return command.reply("User not logged in");
    TextString line("Logged on as ");
    if (target->groupID == 0)
        line.append("network-wide ");
    else if (target->scoreID != 0)
        line.append("zone-wide ");
    else
        line.append("group-wide ");
    command.reply(line.append("operator level ").append(levelName(target->level)).view());
}

namespace {

// What ?addop's switches choose: "*" network-wide, a digit the level, "g"
// group-wide (in the group "=<number>" names, else the zone's).
struct AddopChoices {
    uint8_t level = 4;
    bool networkWide = false;
    bool groupFlag = false;
    int32_t group = 0;
};

constexpr SwitchRuns kAddopRuns{"Invalid switch"};

constexpr SwitchRule<AddopChoices> kAddopSwitches[] = {
    {"*", [](SwitchAt&, AddopChoices& choices) {
         choices.networkWide = true;
         return Scan::Next;
     }},
    {"01234", [](SwitchAt& at, AddopChoices& choices) {
         choices.level = static_cast<uint8_t>(at.name - '0');
         return Scan::Next;
     }},
    {"gG", [](SwitchAt& at, AddopChoices& choices) {
         choices.groupFlag = true;
         if (!at.valued()) {
             choices.group = zoneOf(at.command.zone).groupId;
             return Scan::Next;
         }
         // A number that runs to the end of the text is refused with the
         // run it ends.
         std::optional<int32_t> number;
         if (!at.readNumber(number)) return at.refuse(kAddopRuns.refusal);
         if (number) choices.group = *number;
         return Scan::Next;
     }},
};

}  // namespace

void commandAddop(CommandContext& command) {
    const OperatorRecord& issuer = *command.op();
    const std::string_view args = command.args;
    if (args.empty()) return command.requiresParameters("addop");

    AddopChoices choices;
    const std::optional<std::string_view> operand = scanSwitches(command, kAddopSwitches, choices, &kAddopRuns);
    if (!operand) return;
    if (operand->empty()) return command.requiresParameters("addop");
    const uint8_t level = choices.level;
    const bool networkWide = choices.networkWide;
    const bool groupFlag = choices.groupFlag;
    int32_t group = choices.group;

    if (!networkWide && group == 0) group = zoneOf(command.zone).groupId;
    // The new record's sector lies within the issuer's: only a network-wide
    // issuer makes network-wide records, whatever group a "g" names
    // alongside the "*".
    bool inSector = issuer.groupID == 0 ||
                    (!networkWide && issuer.groupID == group &&
                     (issuer.scoreID == 0 || (!groupFlag && issuer.scoreID == zoneOf(command.zone).scoreId)));
    if (!inSector) return command.reply("You do not have authority to register administrators outside your sector");
    bool levelAllowed = issuer.level == 0 || (issuer.level <= 2 ? level >= issuer.level : level > issuer.level);
    if (!levelAllowed) return command.reply("You do not have authority to register administrators below your level");

    std::optional<ColonSplit> split = splitAtColon(*operand);
    if (!split) return command.reply("Invalid parameters. Type ?help addop for details");
    UserRecord* user = command.database.findUser(split->name);
    if (!user) return command.reply("Specified player not found");

    const std::string_view plain = split->rest.substr(0, kPasswordLimit);
    int32_t groupID = 0;
    int32_t scoreID = 0;
    const char* added;
    if (networkWide) {
        added = " added network-wide";
    } else if (groupFlag) {
        groupID = group;
        added = " added group-wide";
    } else {
        groupID = group;
        scoreID = zoneOf(command.zone).scoreId;
        added = " added zone-wide";
    }
    command.database.createOperator(user, groupID, scoreID, level, plain);
    TextString line;
    line.append(split->name).append(": Operator level ").append(static_cast<int32_t>(level)).append(added);
    command.reply(line.view());
}

void commandRemoveop(CommandContext& command) {
    const OperatorRecord& issuer = *command.op();
    if (command.args.empty()) return command.requiresParameters("removeop");
    OperatorRecord* record = visibleEntry(command.database, issuer, issuer.groupID,
                                          profileNumber(textOf(command.args).substr(0, kEntryDigits)));
    if (!record) return command.reply("Specified operator slot is empty");
    if (record != &issuer && issuer.level != 0 && record->level <= issuer.level)
        return command.reply("You do not have authority to remove administrators at or below your level");
    for (const auto& host : command.zones.transport().hosts()) {
        ZoneSession* zone = existingZoneSession(*host);
        if (!zone) continue;
        for (const auto& player : zone->players())
            if (player->op == record) player->op = nullptr;
    }
    command.database.removeOperator(record);
    command.reply("Operator unregistered. All active sessions with this operator are closed");
}

void commandChangeop(CommandContext& command) {
    OperatorRecord& issuer = *command.op();
    if (command.args.empty()) return command.requiresParameters("changeop");
    std::string_view rest = textOf(command.args);
    size_t colon = rest.find(':');
    if (colon == std::string_view::npos) {
        issuer.password = command.database.passwordField(rest.substr(0, kPasswordLimit));
        return command.reply("Your operator password is changed");
    }
    int32_t number = profileNumber(rest.substr(0, std::min<size_t>(kEntryDigits, colon)));
    std::string_view password = rest.substr(colon + 1, kPasswordLimit);
    OperatorRecord* record = visibleEntry(command.database, issuer, issuer.groupID, number);
    if (!record) return command.reply("Specified operator slot is empty");
    if (record != &issuer && issuer.level != 0 && issuer.level >= record->level)
        return command.reply("You do not have authority to change administrators' passwords at or below your level");
    record->password = command.database.passwordField(password);
    command.reply("Operator password changed");
}

void commandChangeopOwn(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("changeop");
    command.op()->password = command.database.passwordField(textOf(command.args).substr(0, kPasswordLimit));
    command.reply("Operator password changed");
}

void commandListop(CommandContext& command) {
    const OperatorRecord& issuer = *command.op();
    if (!checkSectorPower(issuer, command.zone)) return command.reply(kLimitedPowers);
    // A network-wide issuer sees the whole list wherever he is; others see
    // the sector of the zone they are in.
    const int32_t sectorGroup = issuer.groupID == 0 ? 0 : zoneOf(command.zone).groupId;
    int32_t counter = 0;
    for (const OperatorRecord* record : command.database.operators()) {
        if (!operatorVisible(issuer, sectorGroup, *record)) continue;
        TextString line;
        line.assign(++counter);
        if (record->groupID == 0)
            line.append("*");
        else if (record->scoreID == 0)
            line.append("$");
        line.append(") ");
        if (issuer.groupID == 0) {
            if (record->groupID != 0) {
                if (record->scoreID == 0) {
                    line.append("{").append(record->groupID).append("} ");
                } else {
                    line.append("{").append(record->groupID).append(":");
                    command.appendZoneLabel(line, record->scoreID);
                    line.append("> ");
                }
            }
        } else if (issuer.scoreID == 0 && record->groupID != 0 && record->scoreID != 0) {
            line.append("<");
            command.appendZoneLabel(line, record->scoreID);
            line.append("> ");
        }
        line.append(record->user ? record->user->nameText() : "~guest");
        line.append(":").append(static_cast<int32_t>(record->level));
        if (record->sessionCount != 0) {
            line.append(" -> ").append(record->sessionCount);
            line.append(record->sessionCount == 1 ? " session" : " sessions");
        }
        command.reply(line.view());
    }
    if (counter == 0) command.reply("No operators.");
}

}  // namespace tallysv
