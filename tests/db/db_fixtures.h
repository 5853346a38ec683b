#pragma once
// Database files built byte by byte, field by field as the files lay them
// out, independently of the server's own record code.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tallysv::testing {

struct Bytes {
    std::vector<uint8_t> data;

    Bytes& i32(int32_t v) {
        auto u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(u >> (8 * i)));
        return *this;
    }
    Bytes& i16(int16_t v) {
        auto u = static_cast<uint16_t>(v);
        data.push_back(static_cast<uint8_t>(u));
        data.push_back(static_cast<uint8_t>(u >> 8));
        return *this;
    }
    Bytes& u8(uint8_t v) {
        data.push_back(v);
        return *this;
    }
    Bytes& octets(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return u8(a).u8(b).u8(c).u8(d); }
    // `text` written into a field of `width` bytes, the rest zero. The text
    // may fill the whole field (no NUL) when the test wants that.
    Bytes& text(std::string_view t, size_t width) {
        for (size_t i = 0; i < width; ++i) data.push_back(i < t.size() ? static_cast<uint8_t>(t[i]) : 0);
        return *this;
    }
    Bytes& fill(uint8_t byte, size_t n) {
        data.insert(data.end(), n, byte);
        return *this;
    }
    Bytes& append(const Bytes& other) {
        data.insert(data.end(), other.data.begin(), other.data.end());
        return *this;
    }
    size_t size() const { return data.size(); }
};

struct UserFields {
    int32_t userID = 1;
    std::string name = "Alice";
    std::string password = "pw";  // bytes as stored (already scrambled form)
    uint8_t bannerByte = 0;
    int32_t squadID = 0;
    int32_t usage = 0;
    int32_t logins = 0;
    uint8_t ip[4] = {0, 0, 0, 0};
    int32_t machineID = 0;
    int32_t lastLogin = 0;
    int32_t created = 0;
    int16_t timeZoneBias = 0;
    int16_t passBlock = 0;
};

inline Bytes userRecord(const UserFields& f) {
    Bytes b;
    b.i32(f.userID).text(f.name, 32).text(f.password, 32).fill(f.bannerByte, 96).i32(f.squadID).i32(f.usage)
        .i32(f.logins).octets(f.ip[0], f.ip[1], f.ip[2], f.ip[3]).i32(f.machineID).i32(f.lastLogin)
        .i32(f.created).i16(f.timeZoneBias).i16(f.passBlock);
    return b;
}

inline Bytes user2Record(int32_t userID, int32_t hardwareID, uint8_t flags, std::string_view realName,
                         std::string_view email, std::string_view details) {
    Bytes b;
    b.i32(userID).i32(hardwareID).u8(flags).text(realName, 32).text(email, 32).text(details, 128);
    return b;
}

inline Bytes scoreRecord(int32_t sequence, int32_t scoreID, int32_t userID, int16_t countLessOne, int16_t w1,
                         int16_t w2, int16_t w3, int32_t l1, int32_t l2) {
    Bytes b;
    b.i32(sequence).i32(scoreID).i32(userID).i16(countLessOne).i16(w1).i16(w2).i16(w3).i32(l1).i32(l2);
    return b;
}

inline Bytes squadRecord(int32_t squadID, std::string_view name, std::string_view password, int32_t ownerID) {
    Bytes b;
    b.i32(squadID).text(name, 32).text(password, 32).i32(ownerID);
    return b;
}

struct BanFields {
    int32_t banID = 1;
    int32_t userID = 0;
    int32_t lastHit = 0;
    int32_t created = 0;
    int32_t expires = 0;
    uint8_t start[4] = {0, 0, 0, 0};
    uint8_t end[4] = {0, 0, 0, 0};
    int32_t machineID = 0;
    int32_t hardwareID = 0;
    int32_t bannedBy = 0;
    int32_t scoreID = 0;
    int32_t groupID = 0;
    uint8_t level = 0;
    std::string name = "";
    std::string comment = "";
};

inline Bytes banRecord(const BanFields& f) {
    Bytes b;
    b.i32(f.banID).i32(f.userID).i32(f.lastHit).i32(f.created).i32(f.expires)
        .octets(f.start[0], f.start[1], f.start[2], f.start[3]).octets(f.end[0], f.end[1], f.end[2], f.end[3])
        .i32(f.machineID).i32(f.hardwareID).i32(f.bannedBy).i32(f.scoreID).i32(f.groupID).u8(f.level)
        .text(f.name, 32).text(f.comment, 64);
    return b;
}

inline Bytes banfreeRecord(int32_t userID, int32_t groupID, int32_t scoreID) {
    Bytes b;
    b.i32(userID).i32(groupID).i32(scoreID);
    return b;
}

inline Bytes opRecord(int32_t userID, int32_t groupID, int32_t scoreID, uint8_t level, std::string_view password) {
    Bytes b;
    b.i32(userID).i32(groupID).i32(scoreID).u8(level).text(password, 32);
    return b;
}

inline Bytes zoneRecord(int32_t scoreID, int32_t groupID, std::string_view password, std::string_view banText) {
    Bytes b;
    b.i32(scoreID).i32(groupID).text(password, 32).text(banText, 128);
    return b;
}

// A fresh folder under the system's temporary folder, removed afterwards.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tallysv-db-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        path_ = mkdtemp(buffer.data());
    }
    ~TemporaryFolder() {
        std::error_code error;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, error);
        std::filesystem::remove_all(path_, error);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    void write(const std::string& name, const Bytes& bytes) const { write(name, bytes.data); }
    void write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> read(const std::string& name) const { return readPath(file(name)); }
    static std::vector<uint8_t> readPath(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

private:
    std::string path_;
};

}  // namespace tallysv::testing
