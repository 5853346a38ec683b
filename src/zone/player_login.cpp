#include <cstring>
#include <memory>

#include "core/fields.h"
#include "core/text.h"
#include "core/text_string.h"
#include "core/time_helpers.h"
#include "db/ban_matching.h"
#include "zone/zone_protocol.h"

namespace tallysv {

namespace {

enum LoginResult : uint8_t {
    kAccepted = 0,
    kAskNewUser = 1,
    kWrongPassword = 2,
    kNewUserRefused = 4,
    kBadName = 5,
    kAcceptedUnregistered = 6,
    kFlood = 7,
};

struct LoginReply {
    uint8_t bytes[kLoginReplyLength] = {};
    LoginReply(uint8_t result, uint32_t playerID) {
        bytes[0] = 1;
        bytes[1] = result;
        writeUInt32(bytes, 2, playerID);
    }
    void name(std::string_view text) { copyField(6, 24, text); }
    void copyField(int offset, int size, std::string_view text) {
        std::memcpy(bytes + offset, text.data(), std::min<size_t>(text.size(), static_cast<size_t>(size)));
    }
};

// A refusal counts as its result code says; the one left is the light flood.
PlayerLoginOutcome refusalOutcome(LoginResult result) {
    switch (result) {
        case kAskNewUser:
            return PlayerLoginOutcome::AskedNewUser;
        case kWrongPassword:
            return PlayerLoginOutcome::WrongPassword;
        case kNewUserRefused:
            return PlayerLoginOutcome::NewUserRefused;
        case kBadName:
            return PlayerLoginOutcome::BadName;
        default:
            return PlayerLoginOutcome::Flood;
    }
}

const char* banMatchText(BanMatch match, const BanRecord& ban) {
    switch (match) {
        case BanMatch::Name:
            return ". (Name match)";
        case BanMatch::MachineID:
            return ". (Machine ID match)";
        case BanMatch::Address:
            return ban.rangeStart == ban.rangeEnd ? ". (IP match)" : ". (IP range match)";
        case BanMatch::HardwareID:
            return ". (Hardware ID match)";
    }
    return "";
}

// "Zone: Banned user #12 attempting to enter as Name. (IP match)"
std::string bannedNotice(const std::string& zoneName, const BanRecord& ban, const char* name) {
    TextString notice;
    notice.assign(zoneName.c_str()).append(": Banned user #").append(ban.banID()).append(" attempting to enter as ")
        .append(name).append(banMatchText(ban.lastMatch, ban));
    return std::string(notice.view());
}

// "Zone: Name connecting with a hacked client. (TZB Randomized)(17)"
std::string hackedClientNotice(const std::string& zoneName, const char* name, const char* what, int32_t value) {
    TextString notice;
    notice.assign(zoneName.c_str()).append(": ").append(name).append(" connecting with a hacked client. (")
        .append(what).append(" Randomized)(").append(value).append(")");
    return std::string(notice.view());
}

std::unique_ptr<PlayerSession> newSession(Host& zone, UserRecord* user, ScoreRecord* score, uint32_t playerID,
                                          uint32_t tick) {
    auto player = std::make_unique<PlayerSession>();
    player->commandFlood.lastDecayTick = tick;
    player->zone = &zone;
    player->user = user;
    player->score = score;
    player->playerID = playerID;
    if (const User2Record* form = user->registration()) {
        player->NotifyChat = form->NotifyChat;
        player->NotifyZone = form->NotifyZone;
        player->NotifyBan = form->NotifyBan;
    }
    return player;
}

}  // namespace

void ZoneProtocol::sendLoginReply(Host& zone, const uint8_t* reply) { sendToHost(zone, reply, kLoginReplyLength); }

// Everything before the password work changes nothing, so a login whose
// work goes to a worker goes on from its request, on the state of then,
// when it is done. When the workers' queue is full the login is refused as
// a flood is ("server busy" at the zone), and nothing is queued.
bool ZoneProtocol::passwordWorkNow(Host& zone, const PlayerLoginRequest& request, PasswordNeeds needs) {
    auto resume = [this, request](Host& host) { continuePlayerLogin(host, request, true); };
    switch (deferLogin(zone, request.playerID, std::move(needs), std::move(resume))) {
        case LoginWork::Now:
            return true;
        case LoginWork::Later:
            return false;
        case LoginWork::Busy:
            break;
    }
    LoginReply reply(kFlood, request.playerID);
    sendLoginReply(zone, reply.bytes);
    counters_.count(PlayerLoginOutcome::Flood);
    log_.printf("%i - Player connection refused(Busy): %s\n", zoneOf(zone).scoreId, request.name.c_str());
    return false;
}

void ZoneProtocol::lockOut(Host& zone, uint32_t playerID, UserRecord* user, int32_t banID,
                           const char* consoleFormat, const char* requestName, const std::string& notice) {
    LoginReply reply(kAccepted, playerID);
    reply.name(database_.placeholderUser.name());
    sendLoginReply(zone, reply.bytes);
    PlayerSession& player = zoneSession(zone).addPlayer(newSession(zone, user, nullptr, playerID, clock_.tick()));
    counters_.count(PlayerLoginOutcome::LockedOut);
    kickPlayer(player, kLockOutKickDelay, banID, banID);
    log_.printf(consoleFormat, zoneOf(zone).scoreId, requestName);
    notifyOperators(NoticeKind::Ban, notice);
}

bool ZoneProtocol::onPlayerLogin(InboundMessage& message) {
    Host& zone = *message.host;
    uint8_t* m = message.bytes.data();
    const int32_t scoreID = zoneOf(zone).scoreId;

    // At most 19 characters, blanks cleaned up.
    std::memset(m + 25, 0, 5);
    char* name = reinterpret_cast<char*>(m + 6);
    normalizeName(name, name, 20);
    const uint32_t playerID = readUInt32(m, 70);

    // A refusal: a reply with the result only, and a console line.
    auto refuse = [&](LoginResult result, const char* consoleFormat, const char* shownName) {
        LoginReply reply(result, playerID);
        sendLoginReply(zone, reply.bytes);
        counters_.count(refusalOutcome(result));
        log_.printf(consoleFormat, scoreID, shownName);
        return true;
    };

    if (isInvalidName(name)) return refuse(kBadName, "%i - Player connection refused(Bad name): %s\n", name);

    IPv4Address address{m[2], m[3], m[4], m[5]};
    switch (database_.registerAttempt(address, scoreID)) {
        case FloodVerdict::LightFlood:
            return refuse(kFlood, "%i - Player connection refused(Light flood): %s\n", name);
        case FloodVerdict::HeavyFlood:
            log_.printf("%i - Player connection ignored(Flood): %s\n", scoreID, name);
            counters_.count(PlayerLoginOutcome::Flood);
            return true;
        case FloodVerdict::Accept:
            break;
    }
    PlayerLoginRequest request;
    request.playerID = playerID;
    request.name = name;
    request.address = address;
    request.password = fieldText(m, 38, 32);
    request.machineID = readInt32(m, 74);
    request.timeZoneBias = readInt16(m, 78);
    request.confirmedNewUser = m[1] != 0;
    continuePlayerLogin(zone, request, false);
    return true;
}

void ZoneProtocol::continuePlayerLogin(Host& zone, const PlayerLoginRequest& request, bool resumed) {
    const int32_t scoreID = zoneOf(zone).scoreId;
    const uint32_t playerID = request.playerID;
    const char* name = request.name.c_str();
    const IPv4Address& address = request.address;
    const std::string_view password = request.password.view();
    const int32_t machineID = request.machineID;
    const int16_t timeZoneBias = request.timeZoneBias;
    auto refuse = [&](LoginResult result, const char* consoleFormat, const char* shownName) {
        LoginReply reply(result, playerID);
        sendLoginReply(zone, reply.bytes);
        counters_.count(refusalOutcome(result));
        log_.printf(consoleFormat, scoreID, shownName);
    };
    UserRecord* user = database_.findUser(name);
    // Faked clients send low MachineIDs; a client without a machine sends 0.
    const bool randomizedMachineID =
        isLowMachineID(machineID) && !namesNoMachine(machineID, database_.settings().allowNoMachineID);

    if (user) {
        bool exempt = user->passBlock == 1 || database_.findBanfree(user->userID(), scoreID);
        if (!exempt) {
            std::optional<int32_t> hardwareID;
            if (user->registration()) hardwareID = user->registration()->hardwareID();
            if (BanRecord* ban = database_.findBan(user->userID(), address, machineID, hardwareID, zoneOf(zone).groupId, scoreID)) {
                if (ban->lastMatch == BanMatch::HardwareID) followAddress(*ban, address);
                lockOut(zone, playerID, user, ban->banID(), "%i - Banned user locked out: %s\n", name,
                        bannedNotice(zoneOf(zone).zoneNameText(), *ban, user->nameText()));
                return;
            }
            if (isBadTimeZoneBias(timeZoneBias)) {
                lockOut(zone, playerID, user, 0, "%i - User randomizing TimeZoneBias locked out: %s\n", name,
                        hackedClientNotice(zoneOf(zone).zoneNameText(), user->nameText(), "TZB", timeZoneBias));
                return;
            }
            if (randomizedMachineID) {
                lockOut(zone, playerID, user, 0, "%i - User randomizing machine ID locked out: %s\n", name,
                        hackedClientNotice(zoneOf(zone).zoneNameText(), user->nameText(), "MachineID", machineID));
                return;
            }
        }
        // Guesses are counted before any work is queued for them, and a
        // login going on after its work has been counted already.
        if (!resumed && database_.registerGuess(scoreID, *user) == GuessTable::Verdict::TooMany)
            return refuse(kFlood, "%i - Player connection refused(Too many attempts): %s\n", user->nameText());
        if (!passwordWorkNow(zone, request, database_.loginPasswordNeeds(*user, password))) return;
        if (database_.checkLoginPassword(*user, password) == Database::LoginPassword::Wrong)
            return refuse(kWrongPassword, "%i - Invalid password: %s\n", user->nameText());
        database_.forgetGuesses(scoreID, *user);

        ScoreRecord* score = zoneSession(zone).findScore(user);
        LoginReply reply(user->registration() ? kAccepted : kAcceptedUnregistered, playerID);
        reply.name(name);
        if (user->squad) reply.copyField(30, 24, user->squad->name());
        std::memcpy(reply.bytes + 54, user->banner.data(), user->banner.size());
        writeInt32(reply.bytes, 150, user->Usage);
        if (auto created = localTimeWithBias(user->created, timeZoneBias)) {
            writeInt16(reply.bytes, 154, static_cast<int16_t>(yearOf(*created)));
            writeInt16(reply.bytes, 156, static_cast<int16_t>(created->tm_mon + 1));
            writeInt16(reply.bytes, 158, static_cast<int16_t>(created->tm_mday));
            writeInt16(reply.bytes, 160, static_cast<int16_t>(created->tm_hour));
            writeInt16(reply.bytes, 162, static_cast<int16_t>(created->tm_min));
            writeInt16(reply.bytes, 164, static_cast<int16_t>(created->tm_sec));
        }
        writeInt32(reply.bytes, 170, user->userID());
        if (score) {
            writeInt16(reply.bytes, 178, score->WordStat1);
            writeInt16(reply.bytes, 180, score->WordStat2);
            writeInt16(reply.bytes, 182, score->WordStat3);
            writeInt32(reply.bytes, 184, score->LongStat1);
            writeInt32(reply.bytes, 188, score->LongStat2);
        }
        log_.printf(score ? "%i - Player entering: %s\n" : "%i - Player entering(No Score): %s\n", scoreID,
                    user->nameText());
        zoneSession(zone).addPlayer(newSession(zone, user, score, playerID, clock_.tick())).acceptedAt = clock_.now();
        user->lastLogin = clock_.now();
        user->Logins = static_cast<int32_t>(static_cast<uint32_t>(user->Logins) + 1u);
        database_.setUserAddress(*user, address, machineID);
        user->timeZoneBias = timeZoneBias;
        counters_.count(PlayerLoginOutcome::Entered);
        sendLoginReply(zone, reply.bytes);
        return;
    }

    // An unknown name.
    if (!database_.settings().allowNewUsers)
        return refuse(kNewUserRefused, "%i - Player connection refused(New user): %s\n", name);
    const int32_t candidateID = static_cast<int32_t>(database_.users().count()) + 1;
    if (BanRecord* ban = database_.findBan(candidateID, address, machineID, std::nullopt, zoneOf(zone).groupId, scoreID)) {
        lockOut(zone, playerID, &database_.placeholderUser, ban->banID(), "%i - Banned user locked out: %s\n", name,
                bannedNotice(zoneOf(zone).zoneNameText(), *ban, name));
        return;
    }
    if (randomizedMachineID) {
        lockOut(zone, playerID, &database_.placeholderUser, 0, "%i - User randomizing MachineID locked out: %s\n", name,
                hackedClientNotice(zoneOf(zone).zoneNameText(), name, "MachineID", machineID));
        return;
    }
    if (isBadTimeZoneBias(timeZoneBias)) {
        lockOut(zone, playerID, &database_.placeholderUser, 0, "%i - User randomizing TimeZoneBias locked out: %s\n", name,
                hackedClientNotice(zoneOf(zone).zoneNameText(), name, "TZB", timeZoneBias));
        return;
    }
    if (!request.confirmedNewUser && database_.settings().askNewUsers)
        return refuse(kAskNewUser, "%i - New player connected: %s\n", name);
    PasswordNeeds needs;
    needs.fields.emplace_back(password);
    if (!passwordWorkNow(zone, request, std::move(needs))) return;
    UserRecord* created = database_.createUser(name, password, address, machineID, timeZoneBias);
    LoginReply reply(kAcceptedUnregistered, playerID);
    reply.name(name);
    writeInt32(reply.bytes, 170, created->userID());
    zoneSession(zone).addPlayer(newSession(zone, created, nullptr, playerID, clock_.tick())).acceptedAt = clock_.now();
    log_.printf("%i - New player entering: %s\n", scoreID, created->nameText());
    counters_.count(PlayerLoginOutcome::Created);
    sendLoginReply(zone, reply.bytes);
}

}  // namespace tallysv
