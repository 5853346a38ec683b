#pragma once
#include <cstdint>
#include <string>

namespace tallysv::sim {

// One run of the whole-network simulation: the server's real modules
// (transport, zone protocol, commands, database saving into a temporary
// folder) in this process with a fake clock, and zones with their players
// on a simulated network. Everything that happens follows from the seed.
struct RunOptions {
    uint32_t seed = 1;
    int steps = 2400;  // of 50 simulated milliseconds each
    int zones = 4;
    int playersPerZone = 4;
    bool trace = false;  // the server's console on standard error
    // The server packs what waits for a zone into clusters (ClusterToZones),
    // and every zone reads at most 512 bytes of a datagram, the rest cut
    // off, as the zones' own receive buffers do.
    bool clusterToZones = false;
};

struct RunReport {
    std::string violation;  // empty when every invariant held after every step
    std::string context;    // the server's last console lines, for a violation
    uint64_t simulatedMs = 0;
    int restarts = 0;             // the server killed or stopped, and started again
    int interruptedSaves = 0;     // saves cut short at one of their steps
    int committedSaves = 0;
    int zoneCrashes = 0;
    int partitions = 0;
    int brokenLinks = 0;          // zones the server dropped at the loss limit
    int logins = 0;               // player logins accepted
    int commands = 0;             // commands sent by players and operators
};

RunReport runWholeNetwork(const RunOptions& options);

}  // namespace tallysv::sim
