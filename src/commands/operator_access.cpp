#include "commands/operator_access.h"

namespace tallysv {

bool checkSectorPower(const OperatorRecord& op, const Host& zone) {
    if (op.scoreID != 0) return op.scoreID == zone.scoreId;
    if (op.groupID != 0) return op.groupID == zone.groupId;
    return true;
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
