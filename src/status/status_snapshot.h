#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "net/core_transport.h"
#include "zone/zone_protocol.h"

namespace tallysv {

class CommandProcessor;
class Database;

// The saves as the main loop has seen them end.
struct SaveFigures {
    uint64_t saves = 0;        // every save that ended, written or not
    uint64_t failedSaves = 0;
    bool any = false;          // false until the first one ends
    int32_t lastTime = 0;      // calendar time the last one began
    uint32_t lastDurationMs = 0;
    bool lastSucceeded = false;
    bool anySucceeded = false;     // false until one has been written
    int32_t lastSuccessTime = 0;   // calendar time the last written one began
};

// One connected zone as the status pages show it. Its address is the
// zone's own; players' addresses are never part of a snapshot.
struct ZoneFigures {
    std::string name;
    int32_t scoreID = 0;
    int32_t groupID = 0;
    std::string address;       // "a.b.c.d:port"
    int32_t connectedSince = 0;  // calendar time of its zone login
    uint64_t players = 0;
    uint64_t resends = 0;      // reliable datagrams sent to it again
};

// Everything the status pages show, copied at one moment. Nothing in it
// refers back into the live network: it is rendered without the lock.
struct StatusSnapshot {
    std::string version;
    int32_t now = 0;
    int32_t startTime = 0;
    std::vector<ZoneFigures> zones;
    uint64_t hostSlotsUsed = 0;
    uint64_t hostSlotLimit = 0;
    uint64_t accounts = 0;
    uint64_t playersOnline = 0;
    uint64_t squads = 0;
    uint64_t chatChannels = 0;
    uint64_t bans = 0;
    uint64_t operatorsOnline = 0;
    SaveFigures saves;
    int32_t savePeriodMs = 0;  // PeriodicSave
    std::string lastBackup;    // newest dated generation, empty when none
    TransportCounters transport;
    ZoneCounters zoneCounters;
    uint64_t commands = 0;
};

// Copies the network's figures. Called with the lock held, so it only
// copies: counting players is the one walk, over the connected zones.
StatusSnapshot takeStatusSnapshot(const CoreTransport& transport, const ZoneProtocol& zones,
                                  const CommandProcessor& commands, const Database& database);

}  // namespace tallysv
