#pragma once
#include <cstdint>

#include "db/records.h"
#include "net/host.h"

namespace tallysv {

// Operator levels: smaller is more power.
constexpr uint8_t kNetworkAdministrator = 0;
constexpr uint8_t kGroupManager = 1;
constexpr uint8_t kSysOp = 2;
constexpr uint8_t kSuperModerator = 3;
constexpr uint8_t kModerator = 4;

// True when the operator has power in the zone: a record bound to a ScoreID
// only in that zone, else one bound to a GroupID only in that group, else
// everywhere.
bool checkSectorPower(const OperatorRecord& op, const Host& zone);

// The reply of a command refused by checkSectorPower.
constexpr const char* kLimitedPowers = "You only have limited powers in this zone";

// The same test for a zone known by its GroupID and ScoreID, which need not
// be connected.
bool sectorHoldsZone(const OperatorRecord& op, int32_t groupID, int32_t scoreID);

// Whether the operator may act on the zone he is in with the zone commands
// of tier 2: network-wide operators (GroupID 0) everywhere, group-wide ones
// in their group, zone-wide ones in their zone.
bool zoneCommandAccess(const OperatorRecord& op, const Host& zone);

// The reply of a zone command refused by zoneCommandAccess.
constexpr const char* kNoAccessHere = "You do not have access here";

// Whether an operator (the issuer) may see a record of the operator list:
// by sector, with `issuerGroupID` standing for the issuer's GroupID, and by
// level. The entry numbers of the operator commands count visible records.
bool operatorVisible(const OperatorRecord& issuer, int32_t issuerGroupID, const OperatorRecord& candidate);

}  // namespace tallysv
