// Feeds arbitrary zone messages from two logged-in zones (and a stranger)
// into the zone protocol, with the clock moving and maintenance passes
// between them: logins, forms, leavings, chat, broadcasts, banners.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/fields.h"
#include "core/log.h"
#include "db/database.h"
#include "commands/server_core.h"
#include "net/core_transport.h"
#include "fuzz_support.h"
#include "server/console_lists.h"
#include "zone/zone_protocol.h"

namespace {

using namespace tallysv;
using namespace tallysv::fuzzing;

std::vector<uint8_t> zoneLogin(int32_t groupID, int32_t scoreID) {
    std::vector<uint8_t> login(173, 0);
    login[0] = 2;
    writeInt32(login.data(), 1, 1);
    writeInt32(login.data(), 5, groupID);
    writeInt32(login.data(), 9, scoreID);
    writeFieldText(login.data(), 13, 128, "Fuzz Zone");
    return login;
}

// The message types a logged-in zone may send.
constexpr uint8_t kTypes[] = {1, 2, 3, 4, 5, 7, 13, 14, 15, 16, 17, 19, 20};

// What lives from one input to the next. Before each input the clock is
// set, the transport drops its hosts, the database is cleared and the zone
// layer forgets its chat channels (their members went with the hosts).
struct World {
    World(const char* folder, uint32_t tick, bool fresh)
        : clock(tick),
          database(settings, clock, log, scratchFolder(folder)),
          core(sink, settings, database, clock, log),
          fresh(fresh) {}
    FakeClock clock;
    FingerprintLog log;
    CheckingSink sink;
    Settings settings;
    Database database;
    ServerCore core;
    CoreTransport& transport = core.transport;
    ZoneProtocol& zones = core.zones;
    const bool fresh;  // built for this one input: nothing to reset
};

uint32_t startTick(const uint8_t* data) { return data[0] & 1 ? 0xFFFFF000u : 1000u; }

uint64_t run(World& world, const uint8_t* data, size_t size);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The one world of the process, reset for every input.
    static World world("tallysv-fuzz-zone", 0, false);
    const uint64_t said = run(world, data, size);
    if (checkingReset()) {
        World fresh("tallysv-fuzz-zone-fresh", startTick(data), true);
        if (run(fresh, data, size) != said) __builtin_trap();
    }
    return 0;
}

namespace {

uint64_t run(World& world, const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> firstLogin = zoneLogin(1, 10);
    FakeClock& clock = world.clock;
    Database& database = world.database;
    Settings& settings = world.settings;
    CoreTransport& transport = world.transport;
    ZoneProtocol& zones = world.zones;
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

    settings.encryptMode = false;  // the bytes reach the handlers as they are
    settings.allowNewUsers = data[1] & 1;
    settings.askNewUsers = data[1] & 2;
    for (int i = 0; i < 4; ++i) {
        UserRecord* user = database.createUser("User" + std::to_string(i), "pw", {127, 0, 0, 1}, 50000, 0);
        if (i == 1) database.createBan(*user, nullptr, 5);
        if (i == 2) database.registerUser(*user, "Real", "mail", 77)->NotifyChat = true;
    }

    const PeerAddress peers[3] = {{{10, 0, 0, 1}, 1000}, {{10, 0, 0, 2}, 1001}, {{10, 0, 0, 3}, 1002}};
    const uint8_t request[8] = {0, 1, 1, 0, 0, 0, 0, 0};
    for (const PeerAddress& peer : peers) world.core.receive(request, peer);
    world.core.receive(firstLogin, peers[0]);
    world.core.receive(zoneLogin(data[1] >> 4, 20), peers[1]);

    size_t at = 2;
    while (at + 2 <= size) {
        uint8_t control = data[at++];
        uint8_t length = data[at++];
        if (control >= 0xF0) {
            clock.advance(static_cast<uint32_t>(length) * 100);
            world.core.maintain();
            if (!zones.channelMembershipFault().empty()) __builtin_trap();
            continue;
        }
        // Long messages (forms) arrive reassembled from chunks in real life.
        const bool reassembled = control & 0x40;
        size_t wanted = reassembled ? static_cast<size_t>(length) * 4 : length;
        std::vector<uint8_t> message(data + at, data + std::min(size, at + wanted));
        at += message.size();
        if (message.empty()) message.push_back(0);
        message[0] = kTypes[control % sizeof kTypes];
        // Channel membership, which only commands make, through the model.
        if (control & 0x80) {
            for (const auto& host : transport.hosts()) {
                ZoneSession* zone = existingZoneSession(*host);
                if (!zone || zone->players().empty()) continue;
                PlayerSession& player = *zone->players().front();
                if (message.size() > 2)
                    zones.joinChannel(player, std::string(1, static_cast<char>('A' + message[1] % 3)), message[2] % 10,
                                      true);
                else
                    zones.leaveAllChannels(player, true);
            }
        }
        const PeerAddress& from = peers[(control >> 4) % 3];
        if (reassembled) {
            receiveInBigChunks(world.core, message, from);
        } else {
            world.core.receive(message, from);
        }
        // Channel membership holds after every message: a player is in a
        // channel's member list exactly when a slot of his holds it.
        if (!zones.channelMembershipFault().empty()) __builtin_trap();
    }
    // The console lists walk everything that is left.
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
