#pragma once
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/address.h"
#include "core/password_scramble.h"
#include "db/bucket_index.h"
#include "db/fixed_text.h"
#include "db/table.h"

namespace tallysv {

class Database;
struct SquadRecord;
struct User2Record;

// Fields marked "indexed" are kept private: they change only through the
// Database (renameUser, renameSquad, setUserAddress, ...), which keeps its
// lookups right.

// One account.
struct UserRecord : TableLinks<UserRecord> {
    int32_t userID() const { return userID_; }          // indexed
    std::string_view name() const { return name_.view(); }  // indexed
    const char* nameText() const { return name_.c_str(); }
    const IPv4Address& address() const { return address_; }  // indexed; of the last accepted entry
    int32_t machineID() const { return machineID_; }          // indexed; of the last accepted entry
    User2Record* registration() const { return registration_; }  // indexed; none = unregistered

    PasswordField password{};         // scrambled or hashed (credentials/password_store.h)
    int16_t timeZoneBias = 0;         // minutes, of the last accepted entry
    std::array<uint8_t, 96> banner{};
    int16_t passBlock = 0;            // 0 Normal; any other value Banfree
    SquadRecord* squad = nullptr;
    int32_t lastLogin = 0;
    int32_t created = 0;
    int32_t Usage = 0;
    int32_t Logins = 0;

private:
    friend class Database;
    friend struct UserNameKey;
    friend struct UserIDKey;
    friend struct UserSubnetKey;
    friend struct UserMachineKey;
    friend struct UserHardwareKey;
    int32_t userID_ = 0;
    FixedText<32> name_;
    IPv4Address address_{};
    int32_t machineID_ = 0;
    User2Record* registration_ = nullptr;
    UserRecord* nextSameName_ = nullptr;
    UserRecord* nextSameID_ = nullptr;
    // The alias indexes (see Database::findAliases).
    BucketLinks<UserRecord> sameSubnet_;
    BucketLinks<UserRecord> sameMachine_;
    BucketLinks<UserRecord> sameHardware_;
};

// Registration-form data of an account.
struct User2Record : TableLinks<User2Record> {
    UserRecord* user = nullptr;  // a record without one is not saved
    FixedText<32> realName;
    FixedText<32> email;
    FixedText<128> details;
    int32_t hardwareID() const { return hardwareID_; }  // indexed through its account
    bool NotifyChat = false;
    bool NotifyBan = false;
    bool NotifyZone = false;

private:
    friend class Database;
    int32_t hardwareID_ = 0;
};

// One account's values in one score set.
struct ScoreRecord : TableLinks<ScoreRecord> {
    UserRecord* user = nullptr;
    int32_t scoreID = 0;
    int16_t WordStat1 = 0;
    int16_t WordStat2 = 0;
    int16_t WordStat3 = 0;
    int32_t LongStat1 = 0;
    int32_t LongStat2 = 0;
};

struct SquadRecord : TableLinks<SquadRecord> {
    std::string_view name() const { return name_.view(); }  // indexed
    const char* nameText() const { return name_.c_str(); }
    const std::vector<UserRecord*>& members() const { return members_; }  // in joining order

    int32_t squadID = 0;  // as read from Squad.dat (0: made since); a save numbers squads afresh
    PasswordField password{};
    UserRecord* owner = nullptr;

private:
    friend class Database;
    friend struct SquadNameKey;
    FixedText<32> name_;
    std::vector<UserRecord*> members_;  // changed through Database::addSquadMember / removeSquadMember
    SquadRecord* nextSameName_ = nullptr;
    // Kept from Squad.dat for the fix-ups while User.dat is read.
    int32_t loadedOwnerID_ = 0;
    SquadRecord* nextLoadedSquadID_ = nullptr;
    SquadRecord* nextLoadedOwner_ = nullptr;
};

// Whether a record bound by a GroupID and a ScoreID (a ban's or an
// operator's) holds a zone: one with a ScoreID only that zone, else one
// with a GroupID only that group, else every zone.
inline bool sectorHolds(int32_t groupID, int32_t scoreID, int32_t zoneGroupID, int32_t zoneScoreID) {
    if (scoreID != 0) return scoreID == zoneScoreID;
    if (groupID != 0) return groupID == zoneGroupID;
    return true;
}

// Kinds of ban match, as kept in BanRecord::lastMatch.
enum class BanMatch : uint8_t { Name = 0, MachineID = 1, Address = 2, HardwareID = 3 };

struct BanRecord : TableLinks<BanRecord> {
    int32_t banID() const { return banID_; }  // indexed
    int32_t userID = 0;                 // the banned account
    IPv4Address rangeStart{};           // inclusive, octet by octet
    IPv4Address rangeEnd{};
    int32_t machineID = 0;
    int32_t hardwareID = 0;             // 0 when the banned user had no registration
    int32_t groupID = 0;                // 0 = not limited to a group
    int32_t scoreID = 0;                // not 0 = limited to that zone
    int32_t created = 0;
    int32_t expires = 0;
    int32_t lastHit = 0;
    BanMatch lastMatch = BanMatch::Name;  // memory only
    UserRecord* bannedBy = nullptr;
    FixedText<32> name;                 // the banned account's name when banned
    FixedText<64> comment;
    uint8_t level = 0;                  // highest operator level number that may lift it

private:
    friend class Database;
    friend struct BanIDKey;
    int32_t banID_ = 0;
    BanRecord* nextSameID_ = nullptr;
    int32_t loadedBannedByID_ = 0;
    BanRecord* nextLoadedBannedBy_ = nullptr;
};

struct BanfreeRecord : TableLinks<BanfreeRecord> {
    int32_t userID() const { return userID_; }  // indexed
    int32_t groupID = 0;   // 0 = exempt everywhere
    int32_t scoreID = 0;   // when groupID is not 0: exempt only in this zone
    UserRecord* user = nullptr;  // memory only; see Database::banfreeUser

private:
    friend class Database;
    friend struct BanfreeUserKey;
    int32_t userID_ = 0;
    BanfreeRecord* nextSameUser_ = nullptr;
};

struct OperatorRecord : TableLinks<OperatorRecord> {
    UserRecord* user = nullptr;  // none only for the built-in operator
    int32_t groupID = 0;         // 0 = network-wide
    int32_t scoreID = 0;         // 0 = not limited to one zone
    uint8_t level = 0;           // 0 (most powerful) to 4
    PasswordField password{};
    int32_t sessionCount = 0;    // memory only
};

struct ZoneRecord : TableLinks<ZoneRecord> {
    int32_t scoreID() const { return scoreID_; }  // indexed
    int32_t groupID = 0;
    PasswordField password{};
    FixedText<128> BanText;  // empty = none

private:
    friend class Database;
    friend struct ZoneScoreIDKey;
    int32_t scoreID_ = 0;
    ZoneRecord* nextSameScoreID_ = nullptr;
};

}  // namespace tallysv
