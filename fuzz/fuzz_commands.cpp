// Feeds arbitrary command messages from players of every operator level
// (none, 0 to 4) in two zones through the real command handler, with the
// clock moving and maintenance passes between them. Players also leave
// and come back, so commands meet sessions that come and go.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "commands/command_table.h"
#include "commands/server_core.h"
#include "control/audit_log.h"
#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "net/core_transport.h"
#include "zone/zone_protocol.h"
#include "zone/zone_session.h"
#include "fuzz_support.h"
#include "server/console_lists.h"
#include "zoneclient/messages.h"

namespace {

using namespace tallysv;
using namespace tallysv::fuzzing;

constexpr int kPlayers = 6;

std::vector<uint8_t> zoneLogin(int32_t groupID, int32_t scoreID) {
    return zoneclient::zoneLogin(groupID, scoreID, "Zone " + std::to_string(scoreID), "");
}

std::vector<uint8_t> playerLogin(int index) {
    zoneclient::PlayerLogin login;
    login.name = "Player" + std::to_string(index);
    login.password = "pw";
    login.playerId = static_cast<uint32_t>(index + 1);
    login.address = {192, 168, 1, static_cast<uint8_t>(index + 1)};
    login.machineId = 100000 + index;
    return zoneclient::playerLogin(login);
}

// Every operator record's session count is the number of sessions logged
// in with it.
void checkOperatorCounts(const Database& database, CoreTransport& transport) {
    for (const OperatorRecord* op : database.operators()) {
        int32_t sessions = 0;
        for (const auto& host : transport.hosts()) {
            if (ZoneSession* zone = existingZoneSession(*host))
                for (const auto& player : zone->players()) sessions += player->op == op;
        }
        if (sessions != op->sessionCount) __builtin_trap();
    }
}

// Every account is in the member list of its squad and of no other.
void checkSquads(const Database& database) {
    for (const UserRecord* user : database.users()) {
        if (user->squad && std::count(user->squad->members().begin(), user->squad->members().end(), user) != 1)
            __builtin_trap();
    }
    for (const SquadRecord* squad : database.squads()) {
        for (const UserRecord* member : squad->members())
            if (member->squad != squad) __builtin_trap();
    }
}

void checkInvariants(const Database& database, CoreTransport& transport, const ZoneProtocol& zones) {
    checkOperatorCounts(database, transport);
    checkSquads(database);
    if (!zones.channelMembershipFault().empty()) __builtin_trap();
}

// The logins every input starts with, built once.
struct Logins {
    Logins() {
        for (int i = 0; i < kPlayers; ++i) players.push_back(playerLogin(i));
    }
    std::vector<uint8_t> zones[2] = {zoneLogin(1, 10), zoneLogin(2, 20)};
    std::vector<std::vector<uint8_t>> players;
};

// What lives from one input to the next. Before each input the clock is
// set, the transport drops its hosts, the database is cleared and the zone
// layer forgets its chat channels; the command layer keeps nothing of its own.
struct World {
    World(const char* folder, uint32_t tick, bool fresh)
        : clock(tick),
          database(settings, clock, log, scratchFolder(folder)),
          core(sink, settings, database, clock, log),
          fresh(fresh) {
        // Saves would only write the same small files again and again.
        commands.services.saveDatabase = [] { return true; };
        // Provider bans never reach the network: no block is ever found.
        commands.services.lookupNetBlock = [](const IPv4Address&) { return std::optional<NetBlock>(); };
        // Every audit line, whatever bytes the command held, reads back as
        // the record it was written from.
        commands.services.audit = [](const AuditRecord& record) {
            const std::string line = auditLine(record);
            std::optional<AuditRecord> back = parseAuditLine(line);
            if (!back || auditLine(*back) != line || line.find('\n') != std::string::npos) __builtin_trap();
        };
    }
    FakeClock clock;
    FingerprintLog log;
    CheckingSink sink;
    Settings settings;
    Database database;
    ServerCore core;
    CoreTransport& transport = core.transport;
    ZoneProtocol& zones = core.zones;
    CommandProcessor& commands = core.commands;
    const bool fresh;  // built for this one input: nothing to reset
};

uint32_t startTick(const uint8_t* data) { return data[0] & 1 ? 0xFFFFF000u : 100000u; }

uint64_t run(World& world, const uint8_t* data, size_t size);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The one world of the process, reset for every input.
    static World world("tallysv-fuzz-commands", 0, false);
    const uint64_t said = run(world, data, size);
    if (checkingReset()) {
        World fresh("tallysv-fuzz-commands-fresh", startTick(data), true);
        if (run(fresh, data, size) != said) __builtin_trap();
    }
    return 0;
}

namespace {

uint64_t run(World& world, const uint8_t* data, size_t size) {
    static const Logins logins;
    FakeClock& clock = world.clock;
    Database& database = world.database;
    Settings& settings = world.settings;
    if (!world.fresh) {
        // The clock first: the flood decay period and the generator's seed
        // start from it, as for a transport and a database made now.
        clock = FakeClock(startTick(data));
        world.core.clear();
    }
    // What the reset itself said is no part of the input's run.
    Fingerprint fingerprint;
    if (checkingReset()) world.log.fingerprint = world.sink.fingerprint = &fingerprint;
    Log& log = world.log;

    settings.encryptMode = false;
    settings.allowNewUsers = true;
    settings.askNewUsers = false;
    settings.disableHelp = data[0] & 2;
    for (int i = 0; i < kPlayers + 2; ++i) {
        UserRecord* user = database.createUser("Player" + std::to_string(i), "pw", {192, 168, 1, 1}, 100000, 0);
        if (i % 2) database.registerUser(*user, "Real", "mail", 70 + i);
        if (i == kPlayers) database.createBan(*user, nullptr, 3);
    }
    // Operator records of every level and sector, bound to the players.
    const int32_t sectors[][2] = {{0, 0}, {1, 0}, {1, 10}, {2, 20}, {0, 20}};
    for (int level = 0; level <= 4; ++level) {
        database.createOperator(database.findUser("Player" + std::to_string(level)), sectors[level][0],
                                sectors[level][1], static_cast<uint8_t>(level), "op" + std::to_string(level));
    }
    database.createOperator(nullptr, 0, 0, 0, "sysop");
    CoreTransport& transport = world.transport;
    ZoneProtocol& zones = world.zones;

    const PeerAddress peers[2] = {{{10, 0, 0, 1}, 1000}, {{10, 0, 0, 2}, 1001}};
    const uint8_t request[8] = {0, 1, 1, 0, 0, 0, 0, 0};
    for (const PeerAddress& peer : peers) world.core.receive(request, peer);
    world.core.receive(logins.zones[0], peers[0]);
    world.core.receive(logins.zones[1], peers[1]);
    // Players 0 to 4 log in as operators of their own level, player 5 is
    // none; they sit in the two zones by turns.
    auto enter = [&](int index) {
        world.core.receive(logins.players[static_cast<size_t>(index)], peers[index % 2]);
        Host* host = transport.findHost(peers[index % 2]);
        if (!host || host->closed()) return;
        PlayerSession* player = zoneSession(*host).findPlayer(static_cast<uint32_t>(index + 1));
        if (!player || index >= 5 || player->op) return;
        for (OperatorRecord* op : database.operators()) {
            if (op->user == player->user) {
                player->op = op;
                op->sessionCount += 1;
                break;
            }
        }
    };
    for (int i = 0; i < kPlayers; ++i) enter(i);

    const auto table = commandTable();
    size_t at = 1;
    while (at + 2 <= size) {
        uint8_t control = data[at++];
        uint8_t length = data[at++];
        const int who = control % kPlayers;
        if (control >= 0xF8) {
            clock.advance(static_cast<uint32_t>(length) * 50);
            world.core.maintain();
            continue;
        }
        if (control >= 0xF0) {
            // The player leaves, or comes back.
            Host* host = transport.findHost(peers[who % 2]);
            if (host && zoneSession(*host).findPlayer(static_cast<uint32_t>(who + 1)))
                world.core.receive(zoneclient::playerLeaving(static_cast<uint32_t>(who + 1), 1, std::nullopt),
                                  peers[who % 2]);
            else
                enter(who);
            checkInvariants(database, transport, zones);
            continue;
        }
        std::string text;
        // Most texts start with a command word, so every command is reached.
        if (control & 0x40) text = table[length % table.size()].word;
        size_t wanted = control & 0x80 ? static_cast<size_t>(length) * 16 : length;
        size_t n = std::min(size - at, wanted);
        text.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
        std::vector<uint8_t> message = zoneclient::command(static_cast<uint32_t>(who + 1), text);
        if (control & 0x20) message.pop_back();  // no NUL
        if (message.size() > static_cast<size_t>(CoreTransport::kMaxReliableMessage)) {
            receiveInBigChunks(world.core, message, peers[who % 2]);
        } else {
            world.core.receive(message, peers[who % 2]);
        }
        checkInvariants(database, transport, zones);
    }
    printChatList(zones.chatChannels(), log);
    printSquadList(database, log);
    transport.printHostList(log);
    if (checkingReset()) addSavedFiles(fingerprint, world.settings, database);
    world.log.fingerprint = world.sink.fingerprint = nullptr;
    // What the input made goes now rather than before the next one, so
    // that the memory an input takes is given back by the same input (and
    // the leak check has nothing to look into). The hosts' storage is
    // kept for the next input's hosts.
    world.core.clear();
    return fingerprint.value();
}

}  // namespace
