#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db/database.h"
#include "net/core_transport.h"
#include "zone/zone_protocol.h"

namespace tallysv::sim {

// What the invariants look at: the server's parts as they are between two
// steps of the simulation, and what the simulation itself observed.
struct ServerView {
    const Database& database;
    const CoreTransport& transport;
    const ZoneProtocol& zones;
    // Reliable messages that arrived twice, out of order or past a gap on
    // a link that stayed up (found by the simulation as it reads the
    // server's console).
    const std::vector<std::string>& deliveryFaults;
    // After a restart only: the files of the last committed save, and the
    // files the restarted server wrote from what it loaded; else null.
    const std::map<std::string, std::string>* committedFiles = nullptr;
    const std::map<std::string, std::string>* filesAfterRestart = nullptr;
};

// One property of a running network. `check` returns an empty text when
// it holds, else what is wrong.
struct Invariant {
    const char* name;
    std::string (*check)(const ServerView& view);
};

// Every invariant the simulation checks after each step, in one list.
const std::vector<Invariant>& invariants();

// The first invariant that does not hold, as "name: what is wrong"; empty
// when all hold.
std::string firstViolation(const ServerView& view);

}  // namespace tallysv::sim
