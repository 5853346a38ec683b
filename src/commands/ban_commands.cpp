#include "commands/ban_commands.h"

#include <algorithm>
#include <vector>

#include "commands/number_argument.h"
#include "commands/operator_access.h"
#include "core/text.h"
#include "core/text_string.h"
#include "core/time_helpers.h"
#include "netblock/whois_client.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

// Names of 20 characters or more are refused before any lookup.
constexpr int kNameLimit = 19;
constexpr int kSwitchDigits = 7;
constexpr int32_t kMostDays = 5000;
constexpr size_t kCommentLimit = 63;
constexpr size_t kBanTextLimit = 127;

const char* const kBanNameTooLong = "Name: Specified name ludicrously long(Not over 20 characters please).";
const char* const kInvalidSwitch = "Invalid switch.";
const char* const kInvalidRange = "Invalid IP range parameters. Aborted";

// The longest ban an operator of this level may set.
int32_t dayCap(uint8_t level) {
    switch (level) {
        case 0:
        case 1: return kMostDays;
        case 2: return 365;
        case 3: return 60;
        default: return 7;
    }
}

// Whether an operator's sector covers a ban: network-wide operators cover
// every ban, group-wide ones the bans of their group, zone-bound ones the
// bans of their zone. A ScoreID of 0 binds to no zone, so it never matches
// another ScoreID of 0.
bool sectorCoversBan(const OperatorRecord& op, const BanRecord& ban) {
    return op.groupID == 0 || (op.scoreID == 0 && op.groupID == ban.groupID) ||
           (op.scoreID != 0 && op.scoreID == ban.scoreID);
}

// The number of the text between two positions (the whole digit run).
std::optional<int32_t> numberBetween(const CommandContext& command, int from, int to) {
    return wholeNumber(command.argument(from, std::max(to - from, 0)));
}

void appendOctets(TextString& line, const IPv4Address& address, int count) {
    for (int i = 0; i < count; ++i) {
        if (i > 0) line.append(".");
        line.append(static_cast<int32_t>(address[i]));
    }
}

// The range as listings show it: one address, a wildcard over the last one,
// two or three octets, or "first-last".
void appendRange(TextString& line, const BanRecord& ban) {
    IPv4Address x{};
    for (int i = 0; i < 4; ++i) x[i] = static_cast<uint8_t>(ban.rangeStart[i] ^ ban.rangeEnd[i]);
    const bool same01 = x[0] == 0 && x[1] == 0;
    if (x == IPv4Address{0, 0, 0, 0}) {
        appendOctets(line, ban.rangeStart, 4);
    } else if (x[0] == 0 && x[1] == 255 && x[2] == 255 && x[3] == 255) {
        appendOctets(line, ban.rangeStart, 1);
        line.append(".*.*.*");
    } else if (same01 && x[2] == 0 && x[3] == 255) {
        appendOctets(line, ban.rangeStart, 3);
        line.append(".*");
    } else if (same01 && x[2] == 255 && x[3] == 255) {
        appendOctets(line, ban.rangeStart, 2);
        line.append(".*.*");
    } else {
        appendOctets(line, ban.rangeStart, 4);
        line.append("-");
        appendOctets(line, ban.rangeEnd, 4);
    }
}

std::string dateFor(const CommandContext& command, int32_t time) {
    return formatDate(localTimeWithBias(time, command.user().timeZoneBias));
}

// The choices a ?ban text makes.
struct BanRequest {
    int32_t groupID = 0;
    int32_t scoreID = 0;
    uint8_t level = 0;
    int32_t days = 1;
    bool kick = true;
    bool banfreeTest = false;
    bool subnet = false;
    bool netBlock = false;
    bool rangeGiven = false;
    bool remote = false;  // the ScoreID was named by "r"
    IPv4Address rangeStart{};
    IPv4Address rangeEnd{};
    std::string_view name;
};

// Reads the switches and the name of a ?ban text. Replies and returns false
// when a switch is refused.
bool scanBan(CommandContext& command, BanRequest& request) {
    const OperatorRecord& op = *command.op();
    const int end = command.length;
    int pos = 5;
    while (pos < end) {
        const char c = command.charAt(pos);
        if (c == '\0') break;
        if (c == ' ') {
            ++pos;
            continue;
        }
        if (c != '-') {
            std::string_view name = command.argument(pos, end - pos);
            if (name.size() > static_cast<size_t>(kNameLimit)) {
                command.reply(kBanNameTooLong);
                return false;
            }
            request.name = name;
            return true;
        }
        const int at = pos + 1;  // the switch character
        const char s = command.charAt(at);
        pos = at + 1;
        switch (s) {
            case '!':
                if (op.level > kSysOp) {
                    command.reply("-!: You cannot ban player ISP's.");
                    return false;
                }
                request.netBlock = true;
                break;
            case '*':
                if (op.groupID != 0) {
                    command.reply("-*: You cannot add network-wide bans.");
                    return false;
                }
                request.groupID = 0;
                request.scoreID = 0;
                break;
            case '0':
            case '1':
            case '2':
            case '3':
            case '4': {
                uint8_t level = static_cast<uint8_t>(s - '0');
                if (level < op.level) {
                    command.reply("-level: You cannot add bans at the requested access level.");
                    return false;
                }
                request.level = level;
                break;
            }
            case 'b':
            case 'B':
                request.banfreeTest = true;
                break;
            case 'k':
            case 'K':
                request.kick = false;
                break;
            case 's':
            case 'S':
                if (op.level > kSuperModerator) {
                    command.reply("-s: You cannot add subnet bans.");
                    return false;
                }
                request.subnet = true;
                break;
            case 'i':
            case 'I': {
                if (op.level != kNetworkAdministrator) {
                    command.reply("-i: You cannot specify an IP range.");
                    return false;
                }
                const int from = at + 2;  // past the separator
                int consumed = 0;
                if (from >= end ||
                    !parseAddressRange(command.at(from), end - from, request.rangeStart, request.rangeEnd, consumed)) {
                    command.reply(kInvalidRange);
                    return false;
                }
                request.rangeGiven = true;
                pos = from + consumed;
                break;
            }
            case 'd':
            case 'D':
            case 'g':
            case 'G':
            case 'r':
            case 'R': {
                if (at == end - 1) {
                    command.reply(kInvalidSwitch);
                    return false;
                }
                const char kind = static_cast<char>(s | 0x20);
                const bool valued = command.charAt(pos) == '=';
                if (kind == 'g' && op.groupID != 0 && op.scoreID != 0) {
                    command.reply(valued ? "You cannot add group-wide bans" : "You cannot add group-wide bans.");
                    return false;
                }
                if (kind == 'r' && op.level > kGroupManager) {
                    command.reply("You cannot remote ban");
                    return false;
                }
                if (!valued) {
                    if (kind == 'g') request.scoreID = 0;
                    break;
                }
                ++pos;
                int32_t value = 0;
                int digits = 0;
                while (pos < end && command.charAt(pos) >= '0' && command.charAt(pos) <= '9') {
                    if (++digits > kSwitchDigits) {
                        command.reply(kInvalidSwitch);
                        return false;
                    }
                    value = value * 10 + (command.charAt(pos) - '0');
                    ++pos;
                }
                // A value that runs to the end of the text is not applied.
                if (pos >= end) break;
                if (kind == 'd') {
                    request.days = std::clamp(value, 1, kMostDays);
                    request.days = std::min(request.days, dayCap(op.level));
                } else if (kind == 'g') {
                    request.groupID = value;
                    request.scoreID = 0;
                } else {
                    if (!command.database.findZone(value)) {
                        command.reply("Target zone not found");
                        return false;
                    }
                    request.scoreID = value;
                    request.remote = true;
                }
                break;
            }
            default:
                // Any other character is skipped with its "-".
                break;
        }
    }
    request.name = {};
    return true;
}

// Whether the zone that "r" names lies within the operator's sector, both
// by its registration and by the group it is connected in: the ban binds
// that zone whatever GroupID it carries, so a zone of another group would
// get a ban its own operators could not lift.
bool remoteZoneInSector(const CommandContext& command, const OperatorRecord& op, int32_t scoreID) {
    const ZoneRecord* record = command.database.findZone(scoreID);
    if (record && !sectorHoldsZone(op, record->groupID, scoreID)) return false;
    const Host* zone = command.connectedZone(scoreID);
    return !zone || checkSectorPower(op, *zone);
}

// Whether the account is an operator at or below the given level: by a
// record bound to it, or by the operator a session of it is logged in as
// (the built-in Network Administrator and shared records are bound to no
// account).
bool protectedOperator(const CommandContext& command, const UserRecord& account, uint8_t level) {
    for (const OperatorRecord* record : command.database.operators())
        if (record->user == &account && record->level <= level) return true;
    for (const auto& host : command.zones.transport().hosts()) {
        const ZoneSession* zone = existingZoneSession(*host);
        if (!zone) continue;
        for (const auto& player : zone->players())
            if (player->user == &account && player->op && player->op->level <= level) return true;
    }
    return false;
}

// The banfrees an operator may see in the zone: those of this zone, of its
// group and of the network, or with "all" every one.
bool banfreeShown(const BanfreeRecord& banfree, const Host& zone, bool all) {
    return all || (banfree.scoreID != 0 && banfree.scoreID == zone.scoreId) ||
           (banfree.scoreID == 0 && (banfree.groupID == 0 || banfree.groupID == zone.groupId));
}

// Network-wide banfrees are given, seen whole and lifted only by level 1
// and better with network-wide access.
bool networkBanfreeAccess(const OperatorRecord& op) { return op.level <= kGroupManager && op.groupID == 0; }

// Kicks every session of the account in a connected zone that the ban
// covers (network-wide, its group, or its zone).
void kickWhereBanned(CommandContext& command, const UserRecord& target, const BanRecord& ban) {
    std::vector<PlayerSession*> sessions;
    for (const auto& host : command.zones.transport().hosts()) {
        if (host->closed() || !host->loggedIn()) continue;
        if (ban.groupID != 0 && ban.groupID != host->groupId) continue;
        if (ban.scoreID != 0 && ban.scoreID != host->scoreId) continue;
        if (const ZoneSession* zone = existingZoneSession(*host))
            for (const auto& player : zone->players())
                if (player->user == &target) sessions.push_back(player.get());
    }
    for (PlayerSession* player : sessions) command.zones.kickPlayer(*player, 0, ban.banID(), ban.banID());
}

// The player of the operator's zone that a ban names, if any (the
// placeholder account of a locked-out player is none).
PlayerSession* targetInZone(const CommandContext& command, std::string_view name) {
    ZoneSession* zone = existingZoneSession(command.zone);
    if (!zone) return nullptr;
    PlayerSession* found = zone->findPlayerByName(name, false);
    if (found && found->user == &command.database.placeholderUser) return nullptr;
    return found;
}

// The ban itself, once its address range is known.
void addBan(CommandContext& command, const BanRequest& request, UserRecord& targetAccount, IPv4Address rangeStart,
            IPv4Address rangeEnd) {
    UserRecord* target = &targetAccount;
    PlayerSession* inZone = targetInZone(command, request.name);
    if (inZone && inZone->user != target) inZone = nullptr;
    if (request.banfreeTest) {
        int32_t number = 0;
        for (BanfreeRecord* banfree : command.database.banfrees()) {
            ++number;
            const UserRecord* user = command.database.banfreeUser(*banfree);
            if (!user) continue;
            if (user->userID() == target->userID() ||
                sameMachine(user->machineID(), target->machineID(), command.database.settings.allowNoMachineID)) {
                command.reply(
                    "This player or one of the players aliases has at least one banfree. Cannot ban with -b switch "
                    "unless there are no banfrees for the player");
                return command.reply(TextString("First match: Banfree #").append(number).view());
            }
        }
    }

    // A player locked out at login has the placeholder account, which is in
    // no table and never saved: the ban of one who has logged in as an
    // operator meanwhile is by nobody, as it would read back from the files.
    UserRecord* bannedBy = &command.user() == &command.database.placeholderUser ? nullptr : &command.user();
    BanRecord* ban = command.database.createBan(*target, bannedBy, request.days);
    ban->machineID = target->machineID();
    ban->hardwareID = target->registration() ? target->registration()->hardwareID() : 0;
    ban->rangeStart = rangeStart;
    ban->rangeEnd = rangeEnd;
    ban->groupID = request.groupID;
    ban->scoreID = request.scoreID;
    ban->level = request.level;
    const int32_t banID = ban->banID();

    if (inZone && request.kick) command.zones.kickPlayer(*inZone, 0, banID, banID);
    // A caller outside any zone has no zone of its own to find the player
    // in: the player goes from every zone the ban reaches.
    if (command.outsideZone() && request.kick) kickWhereBanned(command, *target, *ban);

    TextString line("Ban # ");
    line.append(banID);
    if (request.groupID == 0)
        line.append(" added network-wide.");
    else if (request.scoreID == 0)
        line.append(" added group-wide( Group").append(request.groupID).append(").");
    else if (request.scoreID != command.zone.scoreId)
        line.append(" added zone-wide in zone #").append(request.scoreID).append(".");
    else
        line.append(" added zone-wide.");
    line.append(" Duration: ").append(request.days).append(" day(s).");
    command.reply(line.view());
}

// The provider's block comes from the whois servers, which may take up to
// WhoisTimeout: the lookup runs on a worker, and the ban is completed when
// it returns, under the lock, for the operator if he is still there and
// still an operator. Meanwhile every zone, his own included, goes on; his
// own later commands wait behind it.
void askNetBlock(CommandContext& command, const BanRequest& request, const UserRecord& target) {
    const IPv4Address address = target.address();
    const int32_t userID = target.userID();
    const Settings& settings = command.database.settings;
    auto block = std::make_shared<std::optional<NetBlock>>();
    auto work = [block, address, lookup = command.processor.services.lookupNetBlock,
                 options = WhoisOptions{settings.whoisServer, settings.whoisTimeout}, &log = command.processor.log()] {
        *block = lookup ? lookup(address) : lookupNetBlock(address, options, log);
    };
    CommandProcessor& processor = command.processor;
    Host& zone = command.zone;
    PlayerSession* asker = &command.player;
    const uint32_t playerID = asker->playerID;
    auto finish = [&processor, &zone, asker, playerID, userID, request, block, text = std::string(command.text()),
                   length = command.length] {
        // His leaving waits behind this, so he is the same session; his
        // operator login may have ended meanwhile.
        if (zoneSession(zone).findPlayer(playerID) != asker || !asker->op) return;
        CommandContext later(processor, *asker, text, length);
        UserRecord* account = later.database.findUserByID(userID);
        if (!account) return;
        if (!*block) return later.reply("Unable to calculate NetBlock. Try your request again soon");
        BanRequest again = request;
        // The account's own name finds the same player of the zone that
        // the name typed found.
        again.name = std::string_view(account->nameText());
        addBan(later, again, *account, (*block)->first, (*block)->last);
    };
    if (!command.zones.runInOrder(zone, playerID, std::move(work), std::move(finish)))
        command.reply("Unable to calculate NetBlock. Try your request again soon");
}

}  // namespace

void commandBan(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (command.length < 6) return command.requiresParameters("ban");

    BanRequest request;
    request.groupID = command.zone.groupId;
    request.scoreID = command.zone.scoreId;
    request.level = op.level;
    if (!scanBan(command, request)) return;

    // The target: a player of this zone first, then any account.
    PlayerSession* inZone = nullptr;
    if (ZoneSession* zone = existingZoneSession(command.zone)) {
        inZone = zone->findPlayerByName(request.name, false);
        if (inZone && inZone->user == &command.database.placeholderUser) inZone = nullptr;
    }
    UserRecord* target = inZone ? inZone->user : command.database.findUser(request.name);
    if (!target) {
        command.reply("Unable to find given user in network logs. Aborted");
        return command.reply(request.name);
    }

    if (protectedOperator(command, *target, op.level))
        return command.reply("You cannot ban operators at or below your level.");

    for (const BanRecord* ban : command.database.bans()) {
        if (ban->userID != target->userID()) continue;
        command.reply("NOTICE: Player is already banned(But the ban does not nessecarily affect the target zone)");
        command.reply(TextString("BanID of old ban: ").append(ban->banID()).view());
        break;
    }

    if ((op.scoreID != 0 && op.scoreID != request.scoreID) ||
        (op.scoreID == 0 && op.groupID != 0 && op.groupID != request.groupID) ||
        (request.remote && request.scoreID != 0 && !remoteZoneInSector(command, op, request.scoreID)))
        return command.reply("You only have limited powers in the target zone");

    IPv4Address rangeStart = target->address();
    IPv4Address rangeEnd = target->address();
    if (request.subnet) {
        rangeStart[3] = 0;
        rangeEnd[3] = 255;
    } else if (request.netBlock) {
        command.replyBeforeWait("Please wait while downloading information for NetBlock...");
        if (target->address() == IPv4Address{0, 0, 0, 0})
            return command.reply("Unable to calculate NetBlock. Try your request again soon");
        return askNetBlock(command, request, *target);
    } else if (request.rangeGiven) {
        rangeStart = request.rangeStart;
        rangeEnd = request.rangeEnd;
    }
    addBan(command, request, *target, rangeStart, rangeEnd);
}

void commandListban(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (op.level >= kSuperModerator && !checkSectorPower(op, command.zone)) {
        command.reply(kLimitedPowers);
        return command.reply("You need to have at least level 2 access to see bans in this zone");
    }

    bool all = false;
    bool details = false;
    bool given = false;
    int64_t wanted = 0;  // a number too long for a BanID names none
    for (int pos = 9; command.length >= 10 && pos < command.length;) {
        const char c = command.charAt(pos);
        if (c == '\0') break;
        if (c == ' ') {
            ++pos;
            continue;
        }
        if (c == '-') {
            const char s = command.charAt(pos + 1);
            if (s == '*') {
                if (op.level >= kSysOp || op.groupID != 0)
                    command.reply("You cannot see bans network-wide");
                else
                    all = true;
            } else if (s == 'd' || s == 'D') {
                details = true;
            }
            pos += 2;
            continue;
        }
        std::optional<int32_t> number = wholeNumber(command.argument(pos, command.length - pos));
        wanted = number ? *number : int64_t{INT32_MAX} + 1;
        given = wanted != 0;
        break;
    }
    if (given) {
        details = true;
        if (op.level <= kGroupManager && op.groupID == 0) all = true;
    }

    const Host& zone = command.zone;
    bool shown = false;
    for (const BanRecord* ban : command.database.bans()) {
        if (given && ban->banID() != wanted) continue;
        const bool visible = all || (ban->scoreID != 0 && ban->scoreID == zone.scoreId) ||
                             (ban->scoreID == 0 && (ban->groupID == 0 || ban->groupID == zone.groupId));
        if (!visible) continue;
        shown = true;
        TextString line;
        line.assign(ban->banID());
        if (ban->groupID == 0) {
            line.append("*) ");
        } else if (ban->scoreID != 0) {
            line.append(") <");
            command.appendZoneLabel(line, ban->scoreID);
            line.append("> ");
        } else {
            line.append("$) {").append(ban->groupID).append("} ");
        }
        line.append(ban->name.view());
        if (details) {
            line.append(" [");
            appendRange(line, *ban);
            line.append("] until ").append(dateFor(command, ban->expires).c_str());
            line.append(". Set ").append(dateFor(command, ban->created).c_str());
            line.append(" by ").append(ban->bannedBy ? ban->bannedBy->nameText() : "(Unknown)");
            line.append(":").append(static_cast<int32_t>(ban->level));
            if (ban->lastHit != ban->created) {
                line.append(". Last access ");
                line.append(formatDateTime(localTimeWithBias(ban->lastHit, command.user().timeZoneBias)).c_str());
            }
        }
        command.reply(line.view());
        if (!ban->comment.empty()) command.reply(ban->comment.view());
    }
    if (!shown) command.reply(given ? "Ban not found" : "No bans");
}

void commandCommentban(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    if (command.length < 13) return command.requiresParameters("commentban");
    std::string_view rest = command.argument(12, command.length - 12);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return command.reply("SYNTAX: ?commentban <Ban ID>:<Comment>");
    std::optional<int32_t> banID = numberBetween(command, 12, 12 + static_cast<int>(colon));
    if (!banID || *banID < 1 || *banID > command.database.lastBanID())
        return command.reply("Specified ban slot is empty.");
    BanRecord* ban = command.database.findBanByID(*banID);
    if (!ban) return;
    if (!sectorCoversBan(op, *ban) && op.level > ban->level)
        return command.reply("You do not have authority to comment this ban.");
    ban->comment.set(rest.substr(colon + 1, kCommentLimit));
    command.reply("Ban comment changed.");
}

void commandLiftban(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    if (command.length < 10) return;
    std::optional<int32_t> banID = numberBetween(command, 9, command.length);
    BanRecord* ban = banID && *banID >= 1 && *banID <= command.database.lastBanID()
                         ? command.database.findBanByID(*banID)
                         : nullptr;
    if (!ban) return command.reply("Specified ban slot is empty");
    if (!sectorCoversBan(op, *ban) || op.level > ban->level)
        return command.reply("You do not have authority to lift this ban");
    command.database.removeBan(ban);
    command.reply("Ban lifted");
}

void commandBantext(CommandContext& command) {
    ZoneRecord* record = command.database.findZone(command.zone.scoreId);
    if (!record) return command.reply("This zone is not registered. Only registered zones may have ban text");
    if (command.length < 9) return command.reply(TextString("Ban text: ").append(record->BanText.view()).view());
    // Every operator of tier 2 may read it; only one of the zone's sector
    // may rewrite what its banned players are shown.
    if (!zoneCommandAccess(*command.op(), command.zone)) return command.reply(kNoAccessHere);
    record->BanText.set(command.argument(9, kBanTextLimit));
    command.reply("Ban text changed");
}

void commandNotifyban(CommandContext& command) {
    PlayerSession& player = command.player;
    // "off" is told from "on" and "of" by its third character.
    const int value = command.onOffSwitch(11, "1Yy", "0Nn", 2);
    if (value < 0)
        return command.reply(player.NotifyBan ? "Ban notify is currently ENABLED" : "Ban notify is currently DISABLED");
    player.NotifyBan = static_cast<uint8_t>(value);
    if (User2Record* registration = player.user->registration()) registration->NotifyBan = value != 0;
    command.reply(value ? "Ban notify ENABLED" : "Ban notify DISABLED");
}

void commandBanfree(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    int32_t level = op.level;
    if (command.length < 10) return command.reply("You must specify a player");

    bool networkWide = false;
    std::string_view name;
    for (int pos = 9; pos < command.length;) {
        const char c = command.charAt(pos);
        if (c == '\0') break;
        if (c == ' ') {
            ++pos;
            continue;
        }
        if (c == '-') {
            const char s = command.charAt(pos + 1);
            if (s == '*') {
                if (!networkBanfreeAccess(op))
                    return command.reply("You need level 1 network-wide access to add network-wide banfrees");
                networkWide = true;
            } else if (s >= '0' && s <= '4') {
                if (s - '0' < op.level)
                    return command.reply("You cannot add banfrees with levels greater than your own");
                level = s - '0';
            }
            pos += 2;
            continue;
        }
        name = command.argument(pos, command.length - pos);
        if (name.size() > static_cast<size_t>(kNameLimit))
            return command.reply("Name: Specified name ludicrously long(Not over 20 characters please)");
        break;
    }

    UserRecord* user = command.database.findUser(name);
    if (!user) {
        // A number names the account with that UserID.
        std::optional<int32_t> userID = numberBetween(command, 9, command.length);
        if (userID && *userID >= 1) user = command.database.findUserByID(*userID);
    }
    if (!user) {
        command.reply("Specified user was not found in the database");
        return command.reply(name);
    }
    for (const BanfreeRecord* banfree : command.database.banfrees())
        if (banfree->userID() == user->userID()) return command.reply("The player is already banfreed");

    BanfreeRecord* banfree = networkWide ? command.database.createBanfree(user->userID(), 0, 0)
                                         : command.database.createBanfree(user->userID(), command.zone.groupId,
                                                                          command.zone.scoreId);
    banfree->user = user;
    TextString line("Banfree added: UserId #");
    command.reply(line.append(user->userID()).append(". Banfree level ").append(level).view());
}

void commandListbanfree(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    bool all = false;
    if (command.length >= 14 && command.argument(13, command.length - 13).find("-*") != std::string_view::npos) {
        if (!networkBanfreeAccess(op)) return command.reply("You cannot see banfrees network-wide");
        all = true;
    }
    const Host& zone = command.zone;
    int32_t number = 0;
    bool shown = false;
    for (BanfreeRecord* banfree : command.database.banfrees()) {
        ++number;
        if (!banfreeShown(*banfree, zone, all)) continue;
        TextString line;
        line.assign(number);
        if (banfree->scoreID != 0) {
            line.append(") <");
            command.appendZoneLabel(line, banfree->scoreID);
            line.append("> ");
        } else if (banfree->groupID != 0) {
            line.append("$) {").append(banfree->groupID).append("} ");
        } else {
            line.append("*) ");
        }
        if (const UserRecord* user = command.database.banfreeUser(*banfree))
            line.append(user->nameText());
        else
            line.append("UserId #").append(banfree->userID());
        command.reply(line.view());
        shown = true;
    }
    if (!shown) command.reply("No banfrees");
}

void commandLiftbanfree(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    if (command.length < 14) return;
    std::optional<int32_t> wanted = numberBetween(command, 13, command.length);
    // Only what the operator's ?listbanfree lists here may be lifted; a
    // network-wide one only by those who may give it. Another entry reads
    // as an empty slot, as it does in his list.
    const bool all = networkBanfreeAccess(op);
    int32_t number = 0;
    for (BanfreeRecord* banfree : command.database.banfrees()) {
        if (!wanted || ++number != *wanted) continue;
        const bool networkWide = banfree->groupID == 0 && banfree->scoreID == 0;
        if (!banfreeShown(*banfree, command.zone, all) || (networkWide && !all)) break;
        command.database.removeBanfree(banfree);
        return command.reply("Banfree lifted");
    }
    command.reply("Specified banfree slot is empty");
}

}  // namespace tallysv
