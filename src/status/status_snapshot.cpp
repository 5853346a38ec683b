#include "status/status_snapshot.h"

#include <algorithm>

#include "commands/command_processor.h"
#include "db/database.h"
#include "zone/zone_session.h"

namespace tallysv {

StatusSnapshot takeStatusSnapshot(const CoreTransport& transport, const ZoneProtocol& zones,
                                  const CommandProcessor& commands, const Database& database) {
    StatusSnapshot s;
    s.now = transport.clock().now();
    for (const auto& host : transport.hosts()) {
        if (!host->loggedIn()) continue;
        const ZoneSession& session = zoneOf(*host);
        ZoneFigures zone;
        zone.name = session.zoneNameText();
        zone.scoreID = session.scoreId;
        zone.groupID = session.groupId;
        zone.address = peerText(host->peer);
        zone.resends = host->resends;
        zone.connectedSince = session.loginTime;
        zone.players = session.players().size();
        for (const auto& player : session.players()) s.operatorsOnline += player->op != nullptr;
        s.playersOnline += zone.players;
        s.zones.push_back(std::move(zone));
    }
    s.hostSlotsUsed = transport.hosts().size();
    s.savePeriodMs = transport.settings().periodicSave;
    // A new peer is taken while the hosts number at most MaxQueueForLogin.
    s.hostSlotLimit = static_cast<uint64_t>(std::max<int64_t>(int64_t{transport.settings().maxQueueForLogin} + 1, 0));
    s.accounts = database.users().count();
    s.squads = database.squads().count();
    s.chatChannels = zones.chatChannels().count();
    s.bans = database.bans().count();
    s.transport = transport.counters();
    s.zoneCounters = zones.counters();
    s.commands = commands.commandCount();
    return s;
}

}  // namespace tallysv
