#include "db/file_records.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "core/fields.h"

namespace tallysv {

namespace {

template <size_t N>
void readBytes(std::array<uint8_t, N>& out, const uint8_t* bytes, int offset) {
    std::memcpy(out.data(), bytes + offset, N);
}

template <size_t N>
void writeBytes(uint8_t* bytes, int offset, const std::array<uint8_t, N>& in) {
    std::memcpy(bytes + offset, in.data(), N);
}

const DatLayout kLayouts[kDatFileCount] = {
    {"User.dat", fdUser::kSize, 194, 0},  {"User2.dat", fdReg::kSize, 73, 0},
    {"Score.dat", fdScore::kSize, 24, 0}, {"Squad.dat", fdSquad::kSize, 68, 0},
    {"Ban.dat", fdBan::kSize, 81, fdBan::kHeaderSize}, {"Banfree.dat", fdBanfree::kSize, 8, 0},
    {"Op.dat", fdOp::kSize, 13, 0},       {"Zone.dat", fdZone::kSize, 40, 0},
};

}  // namespace

const DatLayout& datLayout(DatFile file) { return kLayouts[static_cast<size_t>(file)]; }

bool datFileFromName(std::string_view name, DatFile& file) {
    std::string text(name);
    for (size_t i = 0; i < kDatFileCount; ++i) {
        if (strcasecmp(text.c_str(), kLayouts[i].fileName) == 0) {
            file = static_cast<DatFile>(i);
            return true;
        }
    }
    return false;
}

fdUser fdUser::decode(const uint8_t* b) {
    fdUser r;
    r.userID = readInt32(b, 0);
    readBytes(r.name, b, 4);
    readBytes(r.password, b, 36);
    readBytes(r.banner, b, 68);
    r.squadID = readInt32(b, 164);
    r.usage = readInt32(b, 168);
    r.logins = readInt32(b, 172);
    readBytes(r.address, b, 176);
    r.machineID = readInt32(b, 180);
    r.lastLogin = readInt32(b, 184);
    r.created = readInt32(b, 188);
    r.timeZoneBias = readInt16(b, 192);
    r.passBlock = readInt16(b, 194);
    return r;
}

void fdUser::encode(uint8_t* b) const {
    writeInt32(b, 0, userID);
    writeBytes(b, 4, name);
    writeBytes(b, 36, password);
    writeBytes(b, 68, banner);
    writeInt32(b, 164, squadID);
    writeInt32(b, 168, usage);
    writeInt32(b, 172, logins);
    writeBytes(b, 176, address);
    writeInt32(b, 180, machineID);
    writeInt32(b, 184, lastLogin);
    writeInt32(b, 188, created);
    writeInt16(b, 192, timeZoneBias);
    writeInt16(b, 194, passBlock);
}

fdReg fdReg::decode(const uint8_t* b) {
    fdReg r;
    r.userID = readInt32(b, 0);
    r.hardwareID = readInt32(b, 4);
    r.flags = b[8];
    readBytes(r.realName, b, 9);
    readBytes(r.email, b, 41);
    readBytes(r.details, b, 73);
    return r;
}

void fdReg::encode(uint8_t* b) const {
    writeInt32(b, 0, userID);
    writeInt32(b, 4, hardwareID);
    b[8] = flags;
    writeBytes(b, 9, realName);
    writeBytes(b, 41, email);
    writeBytes(b, 73, details);
}

fdScore fdScore::decode(const uint8_t* b) {
    fdScore r;
    r.sequence = readInt32(b, 0);
    r.scoreID = readInt32(b, 4);
    r.userID = readInt32(b, 8);
    r.countLessOne = readInt16(b, 12);
    r.wordStat1 = readInt16(b, 14);
    r.wordStat2 = readInt16(b, 16);
    r.wordStat3 = readInt16(b, 18);
    r.longStat1 = readInt32(b, 20);
    r.longStat2 = readInt32(b, 24);
    return r;
}

void fdScore::encode(uint8_t* b) const {
    writeInt32(b, 0, sequence);
    writeInt32(b, 4, scoreID);
    writeInt32(b, 8, userID);
    writeInt16(b, 12, countLessOne);
    writeInt16(b, 14, wordStat1);
    writeInt16(b, 16, wordStat2);
    writeInt16(b, 18, wordStat3);
    writeInt32(b, 20, longStat1);
    writeInt32(b, 24, longStat2);
}

fdSquad fdSquad::decode(const uint8_t* b) {
    fdSquad r;
    r.squadID = readInt32(b, 0);
    readBytes(r.name, b, 4);
    readBytes(r.password, b, 36);
    r.ownerID = readInt32(b, 68);
    return r;
}

void fdSquad::encode(uint8_t* b) const {
    writeInt32(b, 0, squadID);
    writeBytes(b, 4, name);
    writeBytes(b, 36, password);
    writeInt32(b, 68, ownerID);
}

fdBan fdBan::decode(const uint8_t* b) {
    fdBan r;
    r.banID = readInt32(b, 0);
    r.userID = readInt32(b, 4);
    r.lastHit = readInt32(b, 8);
    r.created = readInt32(b, 12);
    r.expires = readInt32(b, 16);
    readBytes(r.rangeStart, b, 20);
    readBytes(r.rangeEnd, b, 24);
    r.machineID = readInt32(b, 28);
    r.hardwareID = readInt32(b, 32);
    r.bannedByID = readInt32(b, 36);
    r.scoreID = readInt32(b, 40);
    r.groupID = readInt32(b, 44);
    r.level = b[48];
    readBytes(r.name, b, 49);
    readBytes(r.comment, b, 81);
    return r;
}

void fdBan::encode(uint8_t* b) const {
    writeInt32(b, 0, banID);
    writeInt32(b, 4, userID);
    writeInt32(b, 8, lastHit);
    writeInt32(b, 12, created);
    writeInt32(b, 16, expires);
    writeBytes(b, 20, rangeStart);
    writeBytes(b, 24, rangeEnd);
    writeInt32(b, 28, machineID);
    writeInt32(b, 32, hardwareID);
    writeInt32(b, 36, bannedByID);
    writeInt32(b, 40, scoreID);
    writeInt32(b, 44, groupID);
    b[48] = level;
    writeBytes(b, 49, name);
    writeBytes(b, 81, comment);
}

fdBanfree fdBanfree::decode(const uint8_t* b) {
    fdBanfree r;
    r.userID = readInt32(b, 0);
    r.groupID = readInt32(b, 4);
    r.scoreID = readInt32(b, 8);
    return r;
}

void fdBanfree::encode(uint8_t* b) const {
    writeInt32(b, 0, userID);
    writeInt32(b, 4, groupID);
    writeInt32(b, 8, scoreID);
}

fdOp fdOp::decode(const uint8_t* b) {
    fdOp r;
    r.userID = readInt32(b, 0);
    r.groupID = readInt32(b, 4);
    r.scoreID = readInt32(b, 8);
    r.level = b[12];
    readBytes(r.password, b, 13);
    return r;
}

void fdOp::encode(uint8_t* b) const {
    writeInt32(b, 0, userID);
    writeInt32(b, 4, groupID);
    writeInt32(b, 8, scoreID);
    b[12] = level;
    writeBytes(b, 13, password);
}

fdZone fdZone::decode(const uint8_t* b) {
    fdZone r;
    r.scoreID = readInt32(b, 0);
    r.groupID = readInt32(b, 4);
    readBytes(r.password, b, 8);
    readBytes(r.banText, b, 40);
    return r;
}

void fdZone::encode(uint8_t* b) const {
    writeInt32(b, 0, scoreID);
    writeInt32(b, 4, groupID);
    writeBytes(b, 8, password);
    writeBytes(b, 40, banText);
}

}  // namespace tallysv
