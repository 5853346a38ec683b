#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "core/fields.h"

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

// How a field is shown by the dump. In the file an integer field is
// little-endian and any other is its bytes as they are.
enum class FieldKind : uint8_t {
    Number,    // an integer of 1, 2 or 4 bytes
    Flags,     // a byte of named bits (the record's kFlagNames, bit 0 first)
    Text,      // a zero-filled text
    Password,  // a stored password form
    Bytes,     // raw bytes
    Address,   // an IPv4 address, first byte first
};

// Records as they lie in the files, field for field. Each record's
// fields() lists every field once, in file order, with the name and kind
// the dump shows: the offsets follow from that order and the members'
// widths, and decode(), encode(), the dump and the checks of the records
// all read that one list. decode() reads a whole record (the reader
// supplies zeros for a short final one); encode() writes every byte of it.

// The width of a field in the file: an integer's size, an array's length.
template <typename Field>
constexpr int fieldWidth() {
    if constexpr (std::is_integral_v<Field>)
        return static_cast<int>(sizeof(Field));
    else
        return static_cast<int>(std::tuple_size_v<Field>);
}

// Calls visit(name, kind, offset, width, member) for every field of `record`.
template <typename Record, typename Visit>
constexpr void forEachField(Record& record, Visit&& visit) {
    int offset = 0;
    std::remove_const_t<Record>::fields(record, [&](const char* name, FieldKind kind, auto& member) {
        constexpr int width = fieldWidth<std::remove_cvref_t<decltype(member)>>();
        visit(name, kind, offset, width, member);
        offset += width;
    });
}

template <typename Record>
constexpr int recordWidth() {
    Record record{};
    int end = 0;
    forEachField(record, [&](const char*, FieldKind, int offset, int width, auto&) { end = offset + width; });
    return end;
}

template <typename Record>
constexpr int lastFieldOffset() {
    Record record{};
    int last = 0;
    forEachField(record, [&](const char*, FieldKind, int offset, int, auto&) { last = offset; });
    return last;
}

// Flattened: with every visit inlined the offsets are constants, and a
// record reads and writes as fast as field-by-field code written out.
template <typename Record>
[[gnu::flatten]] Record decodeRecord(const uint8_t* bytes) {
    Record record;
    forEachField(record, [bytes](const char*, FieldKind, int offset, int width, auto& member) {
        using Field = std::remove_cvref_t<decltype(member)>;
        if constexpr (std::is_same_v<Field, int32_t>)
            member = readInt32(bytes, offset);
        else if constexpr (std::is_same_v<Field, int16_t>)
            member = readInt16(bytes, offset);
        else if constexpr (std::is_same_v<Field, uint8_t>)
            member = bytes[offset];
        else
            std::memcpy(member.data(), bytes + offset, static_cast<size_t>(width));
    });
    return record;
}

template <typename Record>
[[gnu::flatten]] void encodeRecord(const Record& record, uint8_t* bytes) {
    forEachField(record, [bytes](const char*, FieldKind, int offset, int width, const auto& member) {
        using Field = std::remove_cvref_t<decltype(member)>;
        if constexpr (std::is_same_v<Field, int32_t>)
            writeInt32(bytes, offset, member);
        else if constexpr (std::is_same_v<Field, int16_t>)
            writeInt16(bytes, offset, member);
        else if constexpr (std::is_same_v<Field, uint8_t>)
            bytes[offset] = member;
        else
            std::memcpy(bytes + offset, member.data(), static_cast<size_t>(width));
    });
}

// What every record has: decode() and encode() through its field list.
template <typename Record>
struct DatRecord {
    static Record decode(const uint8_t* bytes) { return decodeRecord<Record>(bytes); }
    void encode(uint8_t* bytes) const { encodeRecord(static_cast<const Record&>(*this), bytes); }
};

struct fdUser : DatRecord<fdUser> {
    static constexpr DatFile kFile = DatFile::User;
    static constexpr const char* kFileName = "User.dat";
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
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("UserID", K::Number, r.userID);
        v("name", K::Text, r.name);
        v("password", K::Password, r.password);
        v("banner", K::Bytes, r.banner);
        v("SquadID", K::Number, r.squadID);
        v("Usage", K::Number, r.usage);
        v("Logins", K::Number, r.logins);
        v("address", K::Address, r.address);
        v("MachineID", K::Number, r.machineID);
        v("lastLogin", K::Number, r.lastLogin);
        v("created", K::Number, r.created);
        v("TimeZoneBias", K::Number, r.timeZoneBias);
        v("PassBlock", K::Number, r.passBlock);
    }
};

struct fdReg : DatRecord<fdReg> {
    static constexpr DatFile kFile = DatFile::User2;
    static constexpr const char* kFileName = "User2.dat";
    static constexpr int kSize = 201;
    // The bits of `flags`, bit 0 first, as the dump names them.
    static constexpr const char* kFlagNames[] = {"NotifyChat", "NotifyBan", "NotifyZone"};
    static constexpr uint8_t kNotifyChat = 1 << 0;
    static constexpr uint8_t kNotifyBan = 1 << 1;
    static constexpr uint8_t kNotifyZone = 1 << 2;
    int32_t userID = 0;
    int32_t hardwareID = 0;
    uint8_t flags = 0;
    std::array<uint8_t, 32> realName{};
    std::array<uint8_t, 32> email{};
    std::array<uint8_t, 128> details{};
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("UserID", K::Number, r.userID);
        v("HardwareID", K::Number, r.hardwareID);
        v("flags", K::Flags, r.flags);
        v("realName", K::Text, r.realName);
        v("email", K::Text, r.email);
        v("details", K::Text, r.details);
    }
};

struct fdScore : DatRecord<fdScore> {
    static constexpr DatFile kFile = DatFile::Score;
    static constexpr const char* kFileName = "Score.dat";
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
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("sequence", K::Number, r.sequence);
        v("ScoreID", K::Number, r.scoreID);
        v("UserID", K::Number, r.userID);
        v("countLessOne", K::Number, r.countLessOne);
        v("WordStat1", K::Number, r.wordStat1);
        v("WordStat2", K::Number, r.wordStat2);
        v("WordStat3", K::Number, r.wordStat3);
        v("LongStat1", K::Number, r.longStat1);
        v("LongStat2", K::Number, r.longStat2);
    }
};

struct fdSquad : DatRecord<fdSquad> {
    static constexpr DatFile kFile = DatFile::Squad;
    static constexpr const char* kFileName = "Squad.dat";
    static constexpr int kSize = 72;
    int32_t squadID = 0;
    std::array<uint8_t, 32> name{};
    std::array<uint8_t, 32> password{};
    int32_t ownerID = 0;
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("SquadID", K::Number, r.squadID);
        v("name", K::Text, r.name);
        v("password", K::Password, r.password);
        v("ownerUserID", K::Number, r.ownerID);
    }
};

struct fdBan : DatRecord<fdBan> {
    static constexpr DatFile kFile = DatFile::Ban;
    static constexpr const char* kFileName = "Ban.dat";
    static constexpr int kSize = 145;
    static constexpr int kHeaderSize = 4;  // the last BanID given out
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
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("BanID", K::Number, r.banID);
        v("UserID", K::Number, r.userID);
        v("LastHit", K::Number, r.lastHit);
        v("Created", K::Number, r.created);
        v("Expires", K::Number, r.expires);
        v("RangeStart", K::Address, r.rangeStart);
        v("RangeEnd", K::Address, r.rangeEnd);
        v("MachineID", K::Number, r.machineID);
        v("HardwareID", K::Number, r.hardwareID);
        v("BannedByUserID", K::Number, r.bannedByID);
        v("ScoreID", K::Number, r.scoreID);
        v("GroupID", K::Number, r.groupID);
        v("level", K::Number, r.level);
        v("Name", K::Text, r.name);
        v("Comment", K::Text, r.comment);
    }
};

struct fdBanfree : DatRecord<fdBanfree> {
    static constexpr DatFile kFile = DatFile::Banfree;
    static constexpr const char* kFileName = "Banfree.dat";
    static constexpr int kSize = 12;
    int32_t userID = 0;
    int32_t groupID = 0;
    int32_t scoreID = 0;
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("UserID", K::Number, r.userID);
        v("GroupID", K::Number, r.groupID);
        v("ScoreID", K::Number, r.scoreID);
    }
};

struct fdOp : DatRecord<fdOp> {
    static constexpr DatFile kFile = DatFile::Op;
    static constexpr const char* kFileName = "Op.dat";
    static constexpr int kSize = 45;
    int32_t userID = 0;
    int32_t groupID = 0;
    int32_t scoreID = 0;
    uint8_t level = 0;
    std::array<uint8_t, 32> password{};
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("UserID", K::Number, r.userID);
        v("GroupID", K::Number, r.groupID);
        v("ScoreID", K::Number, r.scoreID);
        v("level", K::Number, r.level);
        v("password", K::Password, r.password);
    }
};

struct fdZone : DatRecord<fdZone> {
    static constexpr DatFile kFile = DatFile::Zone;
    static constexpr const char* kFileName = "Zone.dat";
    static constexpr int kSize = 168;
    int32_t scoreID = 0;
    int32_t groupID = 0;
    std::array<uint8_t, 32> password{};
    std::array<uint8_t, 128> banText{};
    template <typename Self, typename Visit>
    static constexpr void fields(Self& r, Visit&& v) {
        using K = FieldKind;
        v("ScoreID", K::Number, r.scoreID);
        v("GroupID", K::Number, r.groupID);
        v("password", K::Password, r.password);
        v("BanText", K::Text, r.banText);
    }
};

// Calls visit(Record{}) with the record type of a file.
template <typename Visit>
decltype(auto) withRecordType(DatFile file, Visit&& visit) {
    switch (file) {
        case DatFile::User: return visit(fdUser{});
        case DatFile::User2: return visit(fdReg{});
        case DatFile::Score: return visit(fdScore{});
        case DatFile::Squad: return visit(fdSquad{});
        case DatFile::Ban: return visit(fdBan{});
        case DatFile::Banfree: return visit(fdBanfree{});
        case DatFile::Op: return visit(fdOp{});
        case DatFile::Zone: break;
    }
    return visit(fdZone{});
}

constexpr int kLargestRecord = fdReg::kSize;

}  // namespace tallysv
