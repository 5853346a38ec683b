#pragma once
#include <string>

#include "commands/command_processor.h"
#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "net/core_transport.h"
#include "net/datagram_sink.h"
#include "zone/zone_protocol.h"

namespace tallysv {

// The server's protocol core, assembled in this one place: the transport
// over the datagrams, the zone protocol on the transport, and the command
// processor on the zone protocol, over one database and its settings. The
// server process, the test fixtures, the fuzz targets, the benchmarks and
// the whole-network simulation all build it here, so they all run the same
// wiring.
//
// The parts are members in the order they are built; they are torn down in
// the reverse order, each before what it was built on. Nothing here touches
// a socket, a thread or the real clock: the caller supplies where datagrams
// go, the clock and the log. Slow work runs where the zone protocol's
// executor says (`zones.setExecutor`; without one, inline and at once).
// Every call is made with the server's lock held, as for each part.
class ServerCore {
public:
    // `database` was made with `settings`.
    ServerCore(DatagramSink& sink, Settings& settings, Database& database, const Clock& clock, Log& log);
    ServerCore(const ServerCore&) = delete;
    ServerCore& operator=(const ServerCore&) = delete;

    // Drops every host, forgets every record, setting and chat channel:
    // the core is then as one made now over the same folder, with the
    // clock as it is (the fuzz targets start each input from a cleared
    // core). The storage of hosts and tables is kept for what comes next.
    void clear();

    // One datagram, or one maintenance pass, handled to its end: the
    // transport's events acted on by the zone layer (as of the clock's
    // tick when none is given).
    void receive(std::span<const uint8_t> datagram, const PeerAddress& from, uint32_t now) {
        zones.receive(datagram, from, now);
    }
    void receive(std::span<const uint8_t> datagram, const PeerAddress& from) {
        receive(datagram, from, transport.clock().tick());
    }
    void maintain(uint32_t now) { zones.maintain(now); }
    void maintain() { maintain(transport.clock().tick()); }

    Settings& settings;
    Database& database;
    CoreTransport transport;
    ZoneProtocol zones;
    CommandProcessor commands;
};

}  // namespace tallysv
