#include "zoneclient/messages.h"

#include <algorithm>
#include <cstring>

#include "core/fields.h"

namespace zoneclient {

using tallysv::readInt16;
using tallysv::readInt32;
using tallysv::readUInt16;
using tallysv::readUInt32;
using tallysv::writeFieldText;
using tallysv::writeInt16;
using tallysv::writeInt32;
using tallysv::writeUInt16;
using tallysv::writeUInt32;

namespace {

Bytes withText(Bytes header, std::string_view text) {
    header.insert(header.end(), text.begin(), text.end());
    header.push_back(0);
    return header;
}

// Text of a NUL-terminated field running to the end of the message.
std::string tailText(std::span<const uint8_t> message, size_t offset) {
    if (offset >= message.size()) return {};
    return std::string(tallysv::fieldText(message.data(), static_cast<int>(offset),
                                          static_cast<int>(message.size() - offset)));
}

}  // namespace

Bytes zoneLogin(int32_t groupId, int32_t scoreId, std::string_view name, std::string_view password, int32_t version) {
    Bytes m(173, 0);
    m[0] = 2;
    writeInt32(m.data(), 1, version);
    writeInt32(m.data(), 5, groupId);
    writeInt32(m.data(), 9, scoreId);
    writeFieldText(m.data(), 13, 128, name);
    writeFieldText(m.data(), 141, 32, password);
    return m;
}

Bytes playerLogin(const PlayerLogin& login) {
    Bytes m(80, 0);
    m[0] = 4;
    m[1] = login.confirmNew ? 1 : 0;
    std::memcpy(m.data() + 2, login.address.data(), 4);
    writeFieldText(m.data(), 6, 32, login.name);
    writeFieldText(m.data(), 38, 32, login.password);
    writeUInt32(m.data(), 70, login.playerId);
    writeInt32(m.data(), 74, login.machineId);
    writeInt16(m.data(), 78, login.timeZoneBias);
    return m;
}

Bytes playerLeaving(uint32_t playerId, int16_t usage, const std::optional<Scores>& scores) {
    Bytes m(scores ? 29 : 15, 0);
    m[0] = 5;
    writeUInt32(m.data(), 1, playerId);
    writeInt16(m.data(), 13, usage);
    if (scores) {
        writeUInt16(m.data(), 15, scores->wordStat1);
        writeUInt16(m.data(), 17, scores->wordStat2);
        writeUInt16(m.data(), 19, scores->wordStat3);
        writeInt32(m.data(), 21, scores->longStat1);
        writeInt32(m.data(), 25, scores->longStat2);
    }
    return m;
}

Bytes broadcast(int32_t playerId, std::string_view text) {
    Bytes m(11, 0);
    m[0] = 7;
    writeInt32(m.data(), 1, playerId);
    return withText(std::move(m), text);
}

Bytes registrationForm(uint32_t playerId, std::string_view realName, std::string_view email, int16_t processorClass,
                       std::span<const uint8_t> systemInfo) {
    Bytes m(770, 0);
    m[0] = 13;
    writeUInt32(m.data(), 1, playerId);
    writeFieldText(m.data(), 5, 32, realName);
    writeFieldText(m.data(), 37, 32, email);
    size_t n = std::min<size_t>(systemInfo.size(), 608);
    if (n) std::memcpy(m.data() + 162, systemInfo.data(), n);
    writeInt16(m.data(), 162, processorClass);
    return m;
}

Bytes privateMessage(int32_t senderUserId, int32_t recipientUserId, std::string_view text) {
    Bytes m(9, 0);
    m[0] = 14;
    writeInt32(m.data(), 1, senderUserId);
    writeInt32(m.data(), 5, recipientUserId);
    return withText(std::move(m), text);
}

Bytes logLine(std::string_view text) {
    Bytes m(5, 0);
    m[0] = 15;
    return withText(std::move(m), text);
}

Bytes playerBanner(uint32_t playerId, std::span<const uint8_t> banner) {
    Bytes m(101, 0);
    m[0] = 16;
    writeUInt32(m.data(), 1, playerId);
    size_t n = std::min<size_t>(banner.size(), 96);
    if (n) std::memcpy(m.data() + 5, banner.data(), n);
    return m;
}

Bytes scoreReport(uint32_t playerId, int16_t a, int16_t b, int16_t c, int16_t d) {
    Bytes m(21, 0);
    m[0] = 17;
    writeUInt32(m.data(), 1, playerId);
    writeInt16(m.data(), 5, a);
    writeInt16(m.data(), 9, b);
    writeInt16(m.data(), 13, c);
    writeInt16(m.data(), 17, d);
    return m;
}

Bytes command(uint32_t playerId, std::string_view text) {
    Bytes m(5, 0);
    m[0] = 19;
    writeUInt32(m.data(), 1, playerId);
    return withText(std::move(m), text);
}

Bytes chat(uint32_t playerId, char selector, std::string_view text) {
    Bytes m(37, 0);
    m[0] = 20;
    writeUInt32(m.data(), 1, playerId);
    m[5] = static_cast<uint8_t>(selector);
    return withText(std::move(m), text);
}

std::optional<PlayerLoginReply> parsePlayerLoginReply(std::span<const uint8_t> message) {
    if (message.size() < 192 || message[0] != 1) return std::nullopt;
    const uint8_t* p = message.data();
    PlayerLoginReply r;
    r.result = p[1];
    r.playerId = readUInt32(p, 2);
    r.name = std::string(tallysv::fieldText(p, 6, 24));
    r.squad = std::string(tallysv::fieldText(p, 30, 24));
    std::memcpy(r.banner.data(), p + 54, 96);
    r.usage = readInt32(p, 150);
    r.year = readInt16(p, 154);
    r.month = readInt16(p, 156);
    r.day = readInt16(p, 158);
    r.hour = readInt16(p, 160);
    r.minute = readInt16(p, 162);
    r.second = readInt16(p, 164);
    r.userId = readInt32(p, 170);
    r.wordStat1 = readUInt16(p, 178);
    r.wordStat2 = readUInt16(p, 180);
    r.wordStat3 = readUInt16(p, 182);
    r.longStat1 = readInt32(p, 184);
    r.longStat2 = readInt32(p, 188);
    return r;
}

const char* loginResultText(uint8_t result) {
    switch (result) {
        case 0: return "accepted";
        case 1: return "new user: confirm to create the account";
        case 2: return "wrong password";
        case 4: return "unknown name, new users not allowed";
        case 5: return "unacceptable name";
        case 6: return "accepted, registration form wanted";
        case 7: return "too many attempts from this address";
        default: return "unknown result";
    }
}

std::optional<PlayerText> parsePlayerText(std::span<const uint8_t> message) {
    if (message.size() < 6 || message[0] != 9) return std::nullopt;
    return PlayerText{readUInt32(message.data(), 1), tailText(message, 5)};
}

std::optional<ChatLine> parseChatLine(std::span<const uint8_t> message) {
    if (message.size() < 7 || message[0] != 10) return std::nullopt;
    return ChatLine{readUInt32(message.data(), 1), message[5], tailText(message, 6)};
}

std::optional<Kick> parseKick(std::span<const uint8_t> message) {
    if (message.size() < 9 || message[0] != 8) return std::nullopt;
    return Kick{readUInt32(message.data(), 1), readInt32(message.data(), 5)};
}

std::optional<std::string> parseBroadcast(std::span<const uint8_t> message) {
    if (message.size() < 7 || message[0] != 3) return std::nullopt;
    return tailText(message, 7);
}

namespace {
bool isOrder(std::span<const uint8_t> message, uint8_t type) {
    static const uint8_t tail[8] = {0, 1, 0, 0, 0, 2, 0, 0};
    return message.size() == 9 && message[0] == type && std::memcmp(message.data() + 1, tail, 8) == 0;
}
}  // namespace

bool isShutdownOrder(std::span<const uint8_t> message) { return isOrder(message, 2); }
bool isRecycleOrder(std::span<const uint8_t> message) { return isOrder(message, 4); }

Bytes playerLoginReply(const PlayerLoginReply& r) {
    Bytes m(192, 0);
    m[0] = 1;
    m[1] = r.result;
    writeUInt32(m.data(), 2, r.playerId);
    // Both fields hold up to 24 bytes, without a NUL when full.
    std::memcpy(m.data() + 6, r.name.data(), std::min<size_t>(r.name.size(), 24));
    std::memcpy(m.data() + 30, r.squad.data(), std::min<size_t>(r.squad.size(), 24));
    std::memcpy(m.data() + 54, r.banner.data(), 96);
    writeInt32(m.data(), 150, r.usage);
    writeInt16(m.data(), 154, r.year);
    writeInt16(m.data(), 156, r.month);
    writeInt16(m.data(), 158, r.day);
    writeInt16(m.data(), 160, r.hour);
    writeInt16(m.data(), 162, r.minute);
    writeInt16(m.data(), 164, r.second);
    writeInt32(m.data(), 170, r.userId);
    writeUInt16(m.data(), 178, r.wordStat1);
    writeUInt16(m.data(), 180, r.wordStat2);
    writeUInt16(m.data(), 182, r.wordStat3);
    writeInt32(m.data(), 184, r.longStat1);
    writeInt32(m.data(), 188, r.longStat2);
    return m;
}

Bytes playerText(uint32_t playerId, std::string_view text) {
    Bytes m(5, 0);
    m[0] = 9;
    writeUInt32(m.data(), 1, playerId);
    return withText(std::move(m), text);
}

Bytes chatLine(uint32_t playerId, uint8_t slot, std::string_view text) {
    Bytes m(6, 0);
    m[0] = 10;
    writeUInt32(m.data(), 1, playerId);
    m[5] = slot;
    return withText(std::move(m), text);
}

Bytes kick(uint32_t playerId, int32_t reason) {
    Bytes m(9, 0);
    m[0] = 8;
    writeUInt32(m.data(), 1, playerId);
    writeInt32(m.data(), 5, reason);
    return m;
}

Bytes zoneBroadcast(std::string_view text) {
    Bytes m = {3, 0xB8, 0x0B, 0x00, 0x00, 0x02, 0x00};
    return withText(std::move(m), text);
}

Bytes shutdownOrder() { return {2, 0, 1, 0, 0, 0, 2, 0, 0}; }
Bytes recycleOrder() { return {4, 0, 1, 0, 0, 0, 2, 0, 0}; }

std::string describeServerMessage(std::span<const uint8_t> message) {
    if (message.empty()) return "empty message";
    if (auto r = parsePlayerLoginReply(message)) {
        std::string line = "login reply for player " + std::to_string(r->playerId) + ": result " +
                           std::to_string(r->result) + " (" + loginResultText(r->result) + ")";
        if (!r->name.empty()) line += ", name " + r->name;
        if (r->userId) line += ", user id " + std::to_string(r->userId);
        if (!r->squad.empty()) line += ", squad " + r->squad;
        if (r->result == 0 || r->result == 6) {
            line += ", usage " + std::to_string(r->usage) + ", scores " + std::to_string(r->wordStat1) + "/" +
                    std::to_string(r->wordStat2) + "/" + std::to_string(r->wordStat3) + "/" +
                    std::to_string(r->longStat1) + "/" + std::to_string(r->longStat2);
        }
        return line;
    }
    if (isShutdownOrder(message)) return "shutdown order";
    if (isRecycleOrder(message)) return "recycle order";
    if (auto b = parseBroadcast(message)) return "broadcast: " + *b;
    if (auto k = parseKick(message)) {
        return "kick player " + std::to_string(k->playerId) + " (reason " + std::to_string(k->reason) + ")";
    }
    if (auto t = parsePlayerText(message)) return "text to player " + std::to_string(t->playerId) + ": " + t->text;
    if (auto c = parseChatLine(message)) {
        return "chat to player " + std::to_string(c->playerId) + " slot " + std::to_string(c->slot) + ": " + c->text;
    }
    return "message type " + std::to_string(message[0]) + ", " + std::to_string(message.size()) + " bytes";
}

}  // namespace zoneclient
