#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tallysv {

// The eight database files. Each is a plain sequence of fixed-size records
// (Ban.dat after a 4-byte header holding the last BanID); integers are
// little-endian, text fields are written whole with their zero fill.
enum class DatFile { User, User2, Score, Squad, Ban, Banfree, Op, Zone };
constexpr size_t kDatFileCount = 8;

struct DatLayout {
    const char* fileName;
    int recordSize;
    // Offset of the record's last field. A short record at the end of a
    // file is still taken when it reaches into that field.
    int lastFieldOffset;
    int headerSize;
};

const DatLayout& datLayout(DatFile file);
// The file of a name such as "User.dat" (any case), if it is one of them.
bool datFileFromName(std::string_view name, DatFile& file);

// Order of reading: each file refers to records of the ones before it.
constexpr std::array<DatFile, kDatFileCount> kLoadOrder = {DatFile::Zone, DatFile::Banfree, DatFile::Squad,
                                                           DatFile::Ban,  DatFile::User,    DatFile::User2,
                                                           DatFile::Op,   DatFile::Score};
// Order of writing: Squad.dat gives out the SquadIDs that User.dat stores.
constexpr std::array<DatFile, kDatFileCount> kSaveOrder = {DatFile::Squad, DatFile::User,  DatFile::Score,
                                                           DatFile::Ban,   DatFile::User2, DatFile::Op,
                                                           DatFile::Zone,  DatFile::Banfree};

// Records as they lie in the files, field for field. decode() reads a
// whole record (the reader supplies zeros for a short final one); encode()
// writes every byte of it.

struct fdUser {
    static constexpr int kSize = 196;
    int32_t userID = 0;
    std::array<uint8_t, 32> name{};
    std::array<uint8_t, 32> password{};
    std::array<uint8_t, 96> banner{};
    int32_t squadID = 0;
    int32_t usage = 0;
    int32_t logins = 0;
    std::array<uint8_t, 4> address{};
    int32_t machineID = 0;
    int32_t lastLogin = 0;
    int32_t created = 0;
    int16_t timeZoneBias = 0;
    int16_t passBlock = 0;
    static fdUser decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

struct fdReg {
    static constexpr int kSize = 201;
    int32_t userID = 0;
    int32_t hardwareID = 0;
    uint8_t flags = 0;  // bit 0 NotifyChat, bit 1 NotifyBan, bit 2 NotifyZone
    std::array<uint8_t, 32> realName{};
    std::array<uint8_t, 32> email{};
    std::array<uint8_t, 128> details{};
    static fdReg decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

struct fdScore {
    static constexpr int kSize = 28;
    int32_t sequence = 0;
    int32_t scoreID = 0;
    int32_t userID = 0;
    int16_t countLessOne = 0;  // score records in the table minus one; not read back
    int16_t wordStat1 = 0;
    int16_t wordStat2 = 0;
    int16_t wordStat3 = 0;
    int32_t longStat1 = 0;
    int32_t longStat2 = 0;
    static fdScore decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

struct fdSquad {
    static constexpr int kSize = 72;
    int32_t squadID = 0;
    std::array<uint8_t, 32> name{};
    std::array<uint8_t, 32> password{};
    int32_t ownerID = 0;
    static fdSquad decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

struct fdBan {
    static constexpr int kSize = 145;
    static constexpr int kHeaderSize = 4;
    int32_t banID = 0;
    int32_t userID = 0;
    int32_t lastHit = 0;
    int32_t created = 0;
    int32_t expires = 0;
    std::array<uint8_t, 4> rangeStart{};
    std::array<uint8_t, 4> rangeEnd{};
    int32_t machineID = 0;
    int32_t hardwareID = 0;
    int32_t bannedByID = 0;
    int32_t scoreID = 0;
    int32_t groupID = 0;
    uint8_t level = 0;
    std::array<uint8_t, 32> name{};
    std::array<uint8_t, 64> comment{};
    static fdBan decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

struct fdBanfree {
    static constexpr int kSize = 12;
    int32_t userID = 0;
    int32_t groupID = 0;
    int32_t scoreID = 0;
    static fdBanfree decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

struct fdOp {
    static constexpr int kSize = 45;
    int32_t userID = 0;
    int32_t groupID = 0;
    int32_t scoreID = 0;
    uint8_t level = 0;
    std::array<uint8_t, 32> password{};
    static fdOp decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

struct fdZone {
    static constexpr int kSize = 168;
    int32_t scoreID = 0;
    int32_t groupID = 0;
    std::array<uint8_t, 32> password{};
    std::array<uint8_t, 128> banText{};
    static fdZone decode(const uint8_t* bytes);
    void encode(uint8_t* bytes) const;
};

constexpr int kLargestRecord = fdReg::kSize;

}  // namespace tallysv
