#pragma once
#include <cstdint>
#include <optional>

#include "core/address.h"
#include "db/records.h"

namespace tallysv {

// Whether a ban is in force in a zone: a zone-bound ban (ScoreID not 0)
// only in that zone, else a group-bound ban (GroupID not 0) only in that
// group, else everywhere.
inline bool banApplies(const BanRecord& ban, int32_t zoneGroupID, int32_t zoneScoreID) {
    return sectorHolds(ban.groupID, ban.scoreID, zoneGroupID, zoneScoreID);
}

// How a login matches a ban, tested in this order: account, MachineID
// only when the login names a machine, address range, and HardwareID only
// when the login has one.
inline std::optional<BanMatch> matchBan(const BanRecord& ban, int32_t userID, const IPv4Address& address,
                                        std::optional<int32_t> machineID, std::optional<int32_t> hardwareID) {
    if (ban.userID == userID) return BanMatch::Name;
    if (machineID && ban.machineID == *machineID) return BanMatch::MachineID;
    bool inRange = true;
    for (int i = 0; i < 4; ++i) inRange = inRange && ban.rangeStart[i] <= address[i] && address[i] <= ban.rangeEnd[i];
    if (inRange) return BanMatch::Address;
    if (hardwareID && ban.hardwareID == *hardwareID) return BanMatch::HardwareID;
    return std::nullopt;
}

// Whether a banfree exempts its account in the zone with this ScoreID.
bool banfreeApplies(const BanfreeRecord& banfree, int32_t zoneScoreID);

// Moves a ban's range onto a new address: a range over the whole fourth
// octet becomes the same block around the address, likewise one over the
// third and fourth octets, and a single address becomes the new one. Any
// other range stays as it is.
void followAddress(BanRecord& ban, const IPv4Address& address);

}  // namespace tallysv
