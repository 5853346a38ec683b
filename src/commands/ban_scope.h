#pragma once
#include <cstdint>

#include "commands/command_processor.h"
#include "commands/operator_access.h"
#include "core/text_string.h"
#include "db/records.h"
#include "net/host.h"
#include "zone/zone_session.h"

namespace tallysv {

// Where a ban or banfree applies, by the GroupID and ScoreID it carries:
// the network (GroupID 0), a group (ScoreID 0) or one zone.
struct Scope {
    int32_t groupID = 0;
    int32_t scoreID = 0;

    static Scope of(const BanRecord& ban) { return {ban.groupID, ban.scoreID}; }
    static Scope of(const BanfreeRecord& banfree) { return {banfree.groupID, banfree.scoreID}; }

    enum class Kind { Network, Group, Zone };
    // A ban is named GroupID first: one of GroupID 0 is network-wide even
    // with a ScoreID ("-*" before "-r="). A banfree is named ScoreID first,
    // as one given in a zone of GroupID 0 is zone-wide.
    Kind banKind() const { return groupID == 0 ? Kind::Network : scoreID == 0 ? Kind::Group : Kind::Zone; }
    Kind banfreeKind() const { return scoreID != 0 ? Kind::Zone : groupID != 0 ? Kind::Group : Kind::Network; }

    // Whether the listings of a zone show it: the records of that zone, of
    // its group and of the network. A record with a ScoreID belongs to that
    // zone alone, whatever its GroupID.
    bool visibleFrom(const Host& zone) const {
        const ZoneSession& session = zoneOf(zone);
        return sectorHolds(groupID, scoreID, session.groupId, session.scoreId);
    }
    // Whether a ban of this scope reaches players in the zone: its group
    // unless network-wide, and its zone when it names one.
    bool reaches(const Host& zone) const {
        return (groupID == 0 || groupID == zoneOf(zone).groupId) && (scoreID == 0 || scoreID == zoneOf(zone).scoreId);
    }
    // Whether an operator's sector covers an existing record (to lift or
    // comment it): network-wide operators every one, group-wide ones those
    // of their group, zone-bound ones those of their zone. A ScoreID of 0
    // binds to no zone, so it never matches another ScoreID of 0.
    bool coveredBy(const OperatorRecord& op) const {
        return op.groupID == 0 || (op.scoreID == 0 && op.groupID == groupID) ||
               (op.scoreID != 0 && op.scoreID == scoreID);
    }
    // Whether a new record of this scope lies in the operator's sector, read
    // as checkSectorPower reads a zone: a zone-bound operator's zone, a
    // group-wide operator's group, or anywhere.
    bool withinSector(const OperatorRecord& op) const { return sectorHoldsZone(op, groupID, scoreID); }

    // The label listings show before the name: "*) ", ") <zone> " or
    // "$) {GroupID} ".
    void appendLabel(TextString& line, const CommandContext& command, Kind kind) const {
        switch (kind) {
            case Kind::Network:
                line.append("*) ");
                break;
            case Kind::Zone:
                line.append(") <");
                command.appendZoneLabel(line, scoreID);
                line.append("> ");
                break;
            case Kind::Group:
                line.append("$) {").append(groupID).append("} ");
                break;
        }
    }
};

}  // namespace tallysv
