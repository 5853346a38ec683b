#include "commands/ban_commands.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "commands/ban_scope.h"
#include "commands/number_argument.h"
#include "commands/operator_access.h"
#include "commands/switch_scan.h"
#include "core/text.h"
#include "core/text_string.h"
#include "core/time_helpers.h"
#include "netblock/whois_client.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

// The word of the dispatch table that ?ban texts match.
constexpr std::string_view kBanWord = "?ban";
// Names of 20 characters or more are refused before any lookup.
constexpr size_t kNameLimit = 19;
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

struct AddressRange {
    IPv4Address first{};
    IPv4Address last{};
};

// The choices a ?ban text makes.
struct BanRequest {
    Scope scope;
    uint8_t level = 0;
    int32_t days = 1;
    bool kick = true;
    bool banfreeTest = false;
    bool subnet = false;
    bool netBlock = false;
    bool rangeGiven = false;
    bool remote = false;  // the ScoreID was named by "r"
    AddressRange range;   // given with "i"
    std::string_view name;
};

// The switches of ?ban, each checked when it is met.
constexpr SwitchRule<BanRequest> kBanSwitches[] = {
    {"!",
     [](SwitchAt& at, BanRequest& request) {
         if (at.op().level > kSysOp) return at.refuse("-!: You cannot ban player ISP's.");
         request.netBlock = true;
         return Scan::Next;
     }},
    {"*",
     [](SwitchAt& at, BanRequest& request) {
         if (at.op().groupID != 0) return at.refuse("-*: You cannot add network-wide bans.");
         request.scope = Scope{0, 0};
         return Scan::Next;
     }},
    {"01234",
     [](SwitchAt& at, BanRequest& request) {
         const uint8_t level = static_cast<uint8_t>(at.name - '0');
         if (level < at.op().level) return at.refuse("-level: You cannot add bans at the requested access level.");
         request.level = level;
         return Scan::Next;
     }},
    {"bB", [](SwitchAt&, BanRequest& request) { return request.banfreeTest = true, Scan::Next; }},
    {"kK", [](SwitchAt&, BanRequest& request) { return request.kick = false, Scan::Next; }},
    {"sS",
     [](SwitchAt& at, BanRequest& request) {
         if (at.op().level > kSuperModerator) return at.refuse("-s: You cannot add subnet bans.");
         request.subnet = true;
         return Scan::Next;
     }},
    // The range starts after the character that follows "i", and the scan
    // goes on where the range ends.
    {"iI",
     [](SwitchAt& at, BanRequest& request) {
         if (at.op().level != kNetworkAdministrator) return at.refuse("-i: You cannot specify an IP range.");
         const size_t from = at.pos + 1;
         int consumed = 0;
         if (from >= at.args.size() || !parseAddressRange(at.args.data() + from, static_cast<int>(at.args.size() - from),
                                                          request.range.first, request.range.last, consumed))
             return at.refuse(kInvalidRange);
         request.rangeGiven = true;
         at.pos = from + static_cast<size_t>(consumed);
         return Scan::Next;
     }},
    {"dD",
     [](SwitchAt& at, BanRequest& request) {
         if (at.endsText()) return at.refuse(kInvalidSwitch);
         if (!at.valued()) return Scan::Next;
         std::optional<int32_t> days;
         if (!at.readNumber(days)) return at.refuse(kInvalidSwitch);
         if (days) request.days = std::min(std::clamp(*days, 1, kMostDays), dayCap(at.op().level));
         return Scan::Next;
     }},
    // Without "=": group-wide in the zone's group.
    {"gG",
     [](SwitchAt& at, BanRequest& request) {
         if (at.endsText()) return at.refuse(kInvalidSwitch);
         const OperatorRecord& op = at.op();
         if (op.groupID != 0 && op.scoreID != 0)
             return at.refuse(at.valued() ? "You cannot add group-wide bans" : "You cannot add group-wide bans.");
         if (!at.valued()) {
             request.scope.scoreID = 0;
             return Scan::Next;
         }
         std::optional<int32_t> groupID;
         if (!at.readNumber(groupID)) return at.refuse(kInvalidSwitch);
         if (groupID) request.scope = Scope{*groupID, 0};
         return Scan::Next;
     }},
    // A remote zone: it must be registered.
    {"rR",
     [](SwitchAt& at, BanRequest& request) {
         if (at.endsText()) return at.refuse(kInvalidSwitch);
         if (at.op().level > kGroupManager) return at.refuse("You cannot remote ban");
         if (!at.valued()) return Scan::Next;
         std::optional<int32_t> scoreID;
         if (!at.readNumber(scoreID)) return at.refuse(kInvalidSwitch);
         if (!scoreID) return Scan::Next;
         if (!at.command.database.findZone(*scoreID)) return at.refuse("Target zone not found");
         request.scope.scoreID = *scoreID;
         request.remote = true;
         return Scan::Next;
     }},
};

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

// Network-wide banfrees are given, seen whole and lifted only by level 1
// and better with network-wide access.
bool networkBanfreeAccess(const OperatorRecord& op) { return op.level <= kGroupManager && op.groupID == 0; }

// Kicks every session of the account in a connected zone that the ban
// reaches.
void kickWhereBanned(CommandContext& command, const UserRecord& target, const BanRecord& ban) {
    const Scope scope = Scope::of(ban);
    std::vector<PlayerSession*> sessions;
    for (const auto& host : command.zones.transport().hosts()) {
        if (!host->loggedIn() || !scope.reaches(*host)) continue;
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

// ?ban, step 1: the switches and the name. No value when a switch or the
// name was refused (and replied).
std::optional<BanRequest> parseBan(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    // By default zone-wide in this zone, at the operator's own level.
    BanRequest request;
    request.scope = Scope{zoneOf(command.zone).groupId, zoneOf(command.zone).scoreId};
    request.level = op.level;
    std::optional<std::string_view> name = scanSwitches(command, kBanSwitches, request);
    if (!name) return std::nullopt;
    if (name->size() > kNameLimit) {
        command.reply(kBanNameTooLong);
        return std::nullopt;
    }
    request.name = *name;
    return request;
}

// ?ban, step 2: the account banned, a player of this zone first, then any
// account; and whether the operator may ban it there. No value when he may
// not (replied). An existing ban of the account is only noticed.
UserRecord* authorizeBan(CommandContext& command, const BanRequest& request) {
    const OperatorRecord& op = *command.op();
    PlayerSession* inZone = targetInZone(command, request.name);
    UserRecord* target = inZone ? inZone->user : command.database.findUser(request.name);
    if (!target) {
        command.reply("Unable to find given user in network logs. Aborted");
        command.reply(request.name);
        return nullptr;
    }
    if (protectedOperator(command, *target, op.level)) {
        command.reply("You cannot ban operators at or below your level.");
        return nullptr;
    }
    for (const BanRecord* ban : command.database.bans()) {
        if (ban->userID != target->userID()) continue;
        command.reply("NOTICE: Player is already banned(But the ban does not nessecarily affect the target zone)");
        command.reply(TextString("BanID of old ban: ").append(ban->banID()).view());
        break;
    }
    const Scope& scope = request.scope;
    if (!scope.withinSector(op) || (request.remote && scope.scoreID != 0 && !remoteZoneInSector(command, op, scope.scoreID))) {
        command.reply("You only have limited powers in the target zone");
        return nullptr;
    }
    return target;
}

// ?ban, step 3: the addresses banned, by the first switch that applies:
// the account's subnet, its provider's block (no value: it is looked up),
// the range given, else the account's last address.
std::optional<AddressRange> banRange(const BanRequest& request, const UserRecord& target) {
    const IPv4Address own = target.address();
    if (request.subnet) return AddressRange{{own[0], own[1], own[2], 0}, {own[0], own[1], own[2], 255}};
    if (request.netBlock) return std::nullopt;
    if (request.rangeGiven) return request.range;
    return AddressRange{own, own};
}

// Whether "b" refuses the ban: a banfree of the account, or of an account
// on the same machine (its number replied).
bool refusedByBanfree(CommandContext& command, const UserRecord& target) {
    int32_t number = 0;
    for (BanfreeRecord* banfree : command.database.banfrees()) {
        ++number;
        const UserRecord* user = command.database.banfreeUser(*banfree);
        if (!user) continue;
        if (user->userID() == target.userID() ||
            sameMachine(user->machineID(), target.machineID(), command.processor.settings().allowNoMachineID)) {
            command.reply(
                "This player or one of the players aliases has at least one banfree. Cannot ban with -b switch "
                "unless there are no banfrees for the player");
            command.reply(TextString("First match: Banfree #").append(number).view());
            return true;
        }
    }
    return false;
}

// ?ban, step 4: the ban itself, and the player kicked where it reaches him.
const BanRecord& applyBan(CommandContext& command, const BanRequest& request, UserRecord& target,
                          const AddressRange& range) {
    PlayerSession* inZone = targetInZone(command, request.name);
    if (inZone && inZone->user != &target) inZone = nullptr;
    // A player locked out at login has the placeholder account, which is in
    // no table and never saved: the ban of one who has logged in as an
    // operator meanwhile is by nobody, as it would read back from the files.
    UserRecord* bannedBy = &command.user() == &command.database.placeholderUser ? nullptr : &command.user();
    BanRecord* ban = command.database.createBan(target, bannedBy, request.days);
    ban->machineID = target.machineID();
    ban->hardwareID = target.registration() ? target.registration()->hardwareID() : 0;
    ban->rangeStart = range.first;
    ban->rangeEnd = range.last;
    ban->groupID = request.scope.groupID;
    ban->scoreID = request.scope.scoreID;
    ban->level = request.level;
    const int32_t banID = ban->banID();

    if (inZone && request.kick) command.zones.kickPlayer(*inZone, 0, banID, banID);
    // A caller outside any zone has no zone of its own to find the player
    // in: the player goes from every zone the ban reaches.
    if (command.outsideZone() && request.kick) kickWhereBanned(command, target, *ban);
    return *ban;
}

// ?ban, step 5: "Ban # ... added ... Duration: ... day(s)."
void replyBanAdded(CommandContext& command, const BanRequest& request, int32_t banID) {
    const Scope& scope = request.scope;
    TextString line("Ban # ");
    line.append(banID);
    switch (scope.banKind()) {
        case Scope::Kind::Network:
            line.append(" added network-wide.");
            break;
        case Scope::Kind::Group:
            line.append(" added group-wide( Group").append(scope.groupID).append(").");
            break;
        case Scope::Kind::Zone:
            if (scope.scoreID != zoneOf(command.zone).scoreId)
                line.append(" added zone-wide in zone #").append(scope.scoreID).append(".");
            else
                line.append(" added zone-wide.");
            break;
    }
    line.append(" Duration: ").append(request.days).append(" day(s).");
    command.reply(line.view());
}

// Steps 4 and 5, once the addresses are known.
void completeBan(CommandContext& command, const BanRequest& request, UserRecord& target, const AddressRange& range) {
    if (request.banfreeTest && refusedByBanfree(command, target)) return;
    const BanRecord& ban = applyBan(command, request, target, range);
    replyBanAdded(command, request, ban.banID());
}

// The provider's block comes from the whois servers, which may take up to
// WhoisTimeout: the lookup runs on a worker, and the ban is completed when
// it returns, under the lock, for the operator if he is still there and
// still an operator. Meanwhile every zone, his own included, goes on; his
// own later commands wait behind it.
void banProviderBlock(CommandContext& command, const BanRequest& request, const UserRecord& target) {
    command.replyBeforeWait("Please wait while downloading information for NetBlock...");
    const IPv4Address address = target.address();
    if (address == IPv4Address{0, 0, 0, 0})
        return command.reply("Unable to calculate NetBlock. Try your request again soon");
    const int32_t userID = target.userID();
    const Settings& settings = command.processor.settings();
    auto block = std::make_shared<std::optional<NetBlock>>();
    auto work = [block, address, lookup = command.processor.services.lookupNetBlock,
                 options = WhoisOptions{settings.whoisServer, settings.whoisTimeout, settings.whoisAllowedServers},
                 &log = command.processor.log()] {
        if (lookup) {
            *block = lookup(address);
            return;
        }
        NetBlockLookup found = lookupNetBlock(address, options);
        // A server that could not be asked is the console's to know.
        if (!found.status) log.printf("%s\n", found.status.reason().c_str());
        *block = found.block;
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
        CommandContext later(processor, *asker, text, length, kBanWord.size());
        UserRecord* account = later.database.findUserByID(userID);
        if (!account) return;
        if (!*block) return later.reply("Unable to calculate NetBlock. Try your request again soon");
        BanRequest again = request;
        // The account's own name finds the same player of the zone that
        // the name typed found.
        again.name = std::string_view(account->nameText());
        completeBan(later, again, *account, AddressRange{(*block)->first, (*block)->last});
    };
    if (!command.zones.runInOrder(zone, playerID, ZoneProtocol::WorkKind::Lookup, std::move(work),
                                  std::move(finish)))
        command.reply("Unable to calculate NetBlock. Try your request again soon");
}

// The switches of ?listban.
struct ListbanChoices {
    bool all = false;
    bool details = false;
};
constexpr SwitchRule<ListbanChoices> kListbanSwitches[] = {
    // A refused "-*" only says so: the listing goes on.
    {"*",
     [](SwitchAt& at, ListbanChoices& choices) {
         const OperatorRecord& op = at.op();
         if (op.level >= kSysOp || op.groupID != 0)
             at.command.reply("You cannot see bans network-wide");
         else
             choices.all = true;
         return Scan::Next;
     }},
    {"dD", [](SwitchAt&, ListbanChoices& choices) { return choices.details = true, Scan::Next; }},
};

// The switches of ?banfree.
struct BanfreeChoices {
    bool networkWide = false;
    int32_t level = 0;
};
constexpr SwitchRule<BanfreeChoices> kBanfreeSwitches[] = {
    {"*",
     [](SwitchAt& at, BanfreeChoices& choices) {
         if (!networkBanfreeAccess(at.op()))
             return at.refuse("You need level 1 network-wide access to add network-wide banfrees");
         choices.networkWide = true;
         return Scan::Next;
     }},
    {"01234",
     [](SwitchAt& at, BanfreeChoices& choices) {
         if (at.name - '0' < at.op().level)
             return at.refuse("You cannot add banfrees with levels greater than your own");
         choices.level = at.name - '0';
         return Scan::Next;
     }},
};

}  // namespace

// Parse, authorize, find the addresses, apply, reply; a provider block is
// looked up on a worker between the third step and the rest.
void commandBan(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("ban");
    std::optional<BanRequest> request = parseBan(command);
    if (!request) return;
    UserRecord* target = authorizeBan(command, *request);
    if (!target) return;
    std::optional<AddressRange> range = banRange(*request, *target);
    if (!range) return banProviderBlock(command, *request, *target);
    completeBan(command, *request, *target, *range);
}

void commandListban(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (op.level >= kSuperModerator && !checkSectorPower(op, command.zone)) {
        command.reply(kLimitedPowers);
        return command.reply("You need to have at least level 2 access to see bans in this zone");
    }

    ListbanChoices choices;
    const std::string_view number = *scanSwitches(command, kListbanSwitches, choices);
    bool all = choices.all;
    bool details = choices.details;
    // A number too long for a BanID names none.
    int64_t wanted = 0;
    if (!number.empty()) {
        std::optional<int32_t> banID = wholeNumber(number);
        wanted = banID ? *banID : int64_t{INT32_MAX} + 1;
    }
    const bool given = wanted != 0;
    if (given) {
        details = true;
        if (op.level <= kGroupManager && op.groupID == 0) all = true;
    }

    bool shown = false;
    for (const BanRecord* ban : command.database.bans()) {
        if (given && ban->banID() != wanted) continue;
        const Scope scope = Scope::of(*ban);
        if (!all && !scope.visibleFrom(command.zone)) continue;
        shown = true;
        TextString line;
        line.assign(ban->banID());
        scope.appendLabel(line, command, scope.banKind());
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
    if (command.args.empty()) return command.requiresParameters("commentban");
    const std::string_view rest = textOf(command.args);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return command.reply("SYNTAX: ?commentban <Ban ID>:<Comment>");
    std::optional<int32_t> banID = wholeNumber(rest.substr(0, colon));
    if (!banID || *banID < 1 || *banID > command.database.lastBanID())
        return command.reply("Specified ban slot is empty.");
    BanRecord* ban = command.database.findBanByID(*banID);
    if (!ban) return;
    if (!Scope::of(*ban).coveredBy(op) && op.level > ban->level)
        return command.reply("You do not have authority to comment this ban.");
    ban->comment.set(rest.substr(colon + 1, kCommentLimit));
    command.reply("Ban comment changed.");
}

void commandLiftban(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    if (command.args.empty()) return;
    std::optional<int32_t> banID = wholeNumber(textOf(command.args));
    BanRecord* ban = banID && *banID >= 1 && *banID <= command.database.lastBanID()
                         ? command.database.findBanByID(*banID)
                         : nullptr;
    if (!ban) return command.reply("Specified ban slot is empty");
    if (!Scope::of(*ban).coveredBy(op) || op.level > ban->level)
        return command.reply("You do not have authority to lift this ban");
    command.database.removeBan(ban);
    command.reply("Ban lifted");
}

void commandBantext(CommandContext& command) {
    ZoneRecord* record = command.database.findZone(zoneOf(command.zone).scoreId);
    if (!record) return command.reply("This zone is not registered. Only registered zones may have ban text");
    if (command.afterWord.empty()) return command.reply(TextString("Ban text: ").append(record->BanText.view()).view());
    // Every operator of tier 2 may read it; only one of the zone's sector
    // may rewrite what its banned players are shown.
    if (!zoneCommandAccess(*command.op(), command.zone)) return command.reply(kNoAccessHere);
    record->BanText.set(textOf(command.args).substr(0, kBanTextLimit));
    command.reply("Ban text changed");
}

void commandNotifyban(CommandContext& command) {
    PlayerSession& player = command.player;
    // "off" is told from "on" and "of" by its third character.
    const int value = command.onOffSwitch("1Yy", "0Nn", 2);
    if (value < 0)
        return command.reply(player.NotifyBan ? "Ban notify is currently ENABLED" : "Ban notify is currently DISABLED");
    player.NotifyBan = static_cast<uint8_t>(value);
    if (User2Record* registration = player.user->registration()) registration->NotifyBan = value != 0;
    command.reply(value ? "Ban notify ENABLED" : "Ban notify DISABLED");
}

void commandBanfree(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    if (command.args.empty()) return command.reply("You must specify a player");

    BanfreeChoices choices;
    choices.level = op.level;
    const std::optional<std::string_view> name = scanSwitches(command, kBanfreeSwitches, choices);
    if (!name) return;
    if (name->size() > kNameLimit)
        return command.reply("Name: Specified name ludicrously long(Not over 20 characters please)");

    UserRecord* user = command.database.findUser(*name);
    if (!user) {
        // A number names the account with that UserID (read from the
        // start of the argument, switches and all).
        std::optional<int32_t> userID = wholeNumber(textOf(command.args));
        if (userID && *userID >= 1) user = command.database.findUserByID(*userID);
    }
    if (!user) {
        command.reply("Specified user was not found in the database");
        return command.reply(*name);
    }
    for (const BanfreeRecord* banfree : command.database.banfrees())
        if (banfree->userID() == user->userID()) return command.reply("The player is already banfreed");

    BanfreeRecord* banfree = choices.networkWide ? command.database.createBanfree(user->userID(), 0, 0)
                                                 : command.database.createBanfree(user->userID(), zoneOf(command.zone).groupId,
                                                                                  zoneOf(command.zone).scoreId);
    banfree->user = user;
    TextString line("Banfree added: UserId #");
    command.reply(line.append(user->userID()).append(". Banfree level ").append(choices.level).view());
}

void commandListbanfree(CommandContext& command) {
    const OperatorRecord& op = *command.op();
    if (!checkSectorPower(op, command.zone)) return command.reply(kLimitedPowers);
    bool all = false;
    if (textOf(command.args).find("-*") != std::string_view::npos) {
        if (!networkBanfreeAccess(op)) return command.reply("You cannot see banfrees network-wide");
        all = true;
    }
    int32_t number = 0;
    bool shown = false;
    for (BanfreeRecord* banfree : command.database.banfrees()) {
        ++number;
        const Scope scope = Scope::of(*banfree);
        if (!all && !scope.visibleFrom(command.zone)) continue;
        TextString line;
        line.assign(number);
        scope.appendLabel(line, command, scope.banfreeKind());
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
    if (command.args.empty()) return;
    std::optional<int32_t> wanted = wholeNumber(textOf(command.args));
    // Only what the operator's ?listbanfree lists here may be lifted; a
    // network-wide one only by those who may give it. Another entry reads
    // as an empty slot, as it does in his list.
    const bool all = networkBanfreeAccess(op);
    int32_t number = 0;
    for (BanfreeRecord* banfree : command.database.banfrees()) {
        if (!wanted || ++number != *wanted) continue;
        const Scope scope = Scope::of(*banfree);
        const bool networkWide = scope.banfreeKind() == Scope::Kind::Network;
        if (!all && (networkWide || !scope.visibleFrom(command.zone))) break;
        command.database.removeBanfree(banfree);
        return command.reply("Banfree lifted");
    }
    command.reply("Specified banfree slot is empty");
}

}  // namespace tallysv
