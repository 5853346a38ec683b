#include "db/ban_matching.h"

#include "core/fields.h"

namespace tallysv {

bool banApplies(const BanRecord& ban, int32_t zoneGroupID, int32_t zoneScoreID) {
    if (ban.scoreID != 0) return ban.scoreID == zoneScoreID;
    if (ban.groupID != 0) return ban.groupID == zoneGroupID;
    return true;
}

std::optional<BanMatch> matchBan(const BanRecord& ban, int32_t userID, const IPv4Address& address, int32_t machineID,
                                 std::optional<int32_t> hardwareID) {
    if (ban.userID == userID) return BanMatch::Name;
    if (ban.machineID == machineID) return BanMatch::MachineID;
    if (addressInRange(address, ban.rangeStart, ban.rangeEnd)) return BanMatch::Address;
    if (hardwareID && ban.hardwareID == *hardwareID) return BanMatch::HardwareID;
    return std::nullopt;
}

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
