#include "commands/server_core.h"

namespace tallysv {

ServerCore::ServerCore(DatagramSink& sink, Database& database, const Clock& clock, Log& log)
    : database(database),
      transport(sink, clock, log, database.settings),
      zones(transport, database, clock, log),
      commands(zones, clock, log) {}

void ServerCore::clear() {
    transport.restart();
    database.clear();
    zones.chatChannels().clear();
}

}  // namespace tallysv
