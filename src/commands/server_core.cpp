#include "commands/server_core.h"

namespace tallysv {

ServerCore::ServerCore(DatagramSink& sink, Settings& settings, Database& database, const Clock& clock, Log& log)
    : settings(settings),
      database(database),
      transport(sink, clock, log, settings),
      zones(transport, database, clock, log),
      commands(zones, settings, clock, log) {}

void ServerCore::clear() {
    transport.restart();
    settings = Settings{};
    database.clear();
    zones.chatChannels().clear();
}

}  // namespace tallysv
