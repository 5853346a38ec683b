#include "db/ban_matching.h"

#include "core/fields.h"

namespace tallysv {

bool banfreeApplies(const BanfreeRecord& banfree, int32_t zoneScoreID) {
    return banfree.groupID == 0 || banfree.scoreID == zoneScoreID;
}

void followAddress(BanRecord& ban, const IPv4Address& address) {
    // Both ends read as 32-bit values whose lowest byte is the first octet.
    uint32_t difference = readUInt32(ban.rangeStart.data(), 0) ^ readUInt32(ban.rangeEnd.data(), 0);
    IPv4Address low = address;
    IPv4Address high = address;
    if (difference == 0xFF000000u) {
        low[3] = 0;
        high[3] = 255;
    } else if (difference == 0xFFFF0000u) {
        low[2] = low[3] = 0;
        high[2] = high[3] = 255;
    } else if (difference != 0) {
        return;
    }
    ban.rangeStart = low;
    ban.rangeEnd = high;
}

}  // namespace tallysv
