#include "commands/operator_access.h"

#include "zone/zone_session.h"

namespace tallysv {

bool checkSectorPower(const OperatorRecord& op, const Host& zone) {
    return sectorHoldsZone(op, zoneOf(zone).groupId, zoneOf(zone).scoreId);
}

bool sectorHoldsZone(const OperatorRecord& op, int32_t groupID, int32_t scoreID) {
    return sectorHolds(op.groupID, op.scoreID, groupID, scoreID);
}

bool zoneCommandAccess(const OperatorRecord& op, const Host& zone) {
    return op.groupID == 0 || (op.scoreID == 0 && op.groupID == zoneOf(zone).groupId) || op.scoreID == zoneOf(zone).scoreId;
}

bool operatorVisible(const OperatorRecord& issuer, int32_t issuerGroupID, const OperatorRecord& candidate) {
    bool sector = issuerGroupID == 0 ||
                  (candidate.groupID == issuerGroupID && (issuer.scoreID == 0 || candidate.scoreID == issuer.scoreID));
    if (!sector) return false;
    switch (issuer.level) {
        case 0:
        case 1:
            return true;
        case 2:
            return candidate.level >= 1;
        default:
            return candidate.level >= 2;
    }
}

}  // namespace tallysv
