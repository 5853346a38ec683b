#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/address.h"
#include "zoneclient/datagrams.h"

namespace zoneclient {

// ---- Zone to server. Integers little-endian; texts NUL-terminated.

// Type 2, 173 bytes. `version` is the positive value at offset 1.
Bytes zoneLogin(int32_t groupId, int32_t scoreId, std::string_view name, std::string_view password,
                int32_t version = 1);

struct PlayerLogin {
    bool confirmNew = false;
    tallysv::IPv4Address address{127, 0, 0, 1};
    std::string name;
    std::string password;
    uint32_t playerId = 0;
    int32_t machineId = 100000;
    int16_t timeZoneBias = 0;
};
// Type 4, 80 bytes.
Bytes playerLogin(const PlayerLogin& login);

struct Scores {
    uint16_t wordStat1 = 0, wordStat2 = 0, wordStat3 = 0;
    int32_t longStat1 = 0, longStat2 = 0;
};
// Type 5: 29 bytes with scores, 15 without.
Bytes playerLeaving(uint32_t playerId, int16_t usage, const std::optional<Scores>& scores);

// Type 7; playerId -1 broadcasts as the zone itself.
Bytes broadcast(int32_t playerId, std::string_view text);

// Type 13, 770 bytes: real name, email, and a system-information block
// that starts with the processor class.
Bytes registrationForm(uint32_t playerId, std::string_view realName, std::string_view email,
                       int16_t processorClass, std::span<const uint8_t> systemInfo = {});

// Type 14; recipient -1 is none.
Bytes privateMessage(int32_t senderUserId, int32_t recipientUserId, std::string_view text);
// Type 15.
Bytes logLine(std::string_view text);
// Type 16, 101 bytes.
Bytes playerBanner(uint32_t playerId, std::span<const uint8_t> banner);
// Type 17, 21 bytes: four signed 16-bit values at offsets 5, 9, 13, 17.
Bytes scoreReport(uint32_t playerId, int16_t a, int16_t b, int16_t c, int16_t d);
// Type 19: the ?command text and its NUL.
Bytes command(uint32_t playerId, std::string_view text);
// Type 20: channel selector character ('1' to '9', or '0').
Bytes chat(uint32_t playerId, char selector, std::string_view text);

// ---- Server to zone.

struct PlayerLoginReply {
    uint8_t result = 0;
    uint32_t playerId = 0;
    std::string name;
    std::string squad;
    std::array<uint8_t, 96> banner{};
    int32_t usage = 0;
    int16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int32_t userId = 0;
    uint16_t wordStat1 = 0, wordStat2 = 0, wordStat3 = 0;
    int32_t longStat1 = 0, longStat2 = 0;
};
// Type 1, 192 bytes.
std::optional<PlayerLoginReply> parsePlayerLoginReply(std::span<const uint8_t> message);
const char* loginResultText(uint8_t result);

struct PlayerText {
    uint32_t playerId = 0;
    std::string text;
};
struct ChatLine {
    uint32_t playerId = 0;
    uint8_t slot = 0;
    std::string text;
};
struct Kick {
    uint32_t playerId = 0;
    int32_t reason = 0;
};
// Type 9.
std::optional<PlayerText> parsePlayerText(std::span<const uint8_t> message);
// Type 10.
std::optional<ChatLine> parseChatLine(std::span<const uint8_t> message);
// Type 8.
std::optional<Kick> parseKick(std::span<const uint8_t> message);
// Type 3: the text after the 7-byte header.
std::optional<std::string> parseBroadcast(std::span<const uint8_t> message);
// Types 2 (shutdown) and 4 (recycle): 9 bytes.
bool isShutdownOrder(std::span<const uint8_t> message);
bool isRecycleOrder(std::span<const uint8_t> message);

// The same messages built, as the server sends them (for tests and tools
// that play the server's part).
Bytes playerLoginReply(const PlayerLoginReply& reply);
Bytes playerText(uint32_t playerId, std::string_view text);
Bytes chatLine(uint32_t playerId, uint8_t slot, std::string_view text);
Bytes kick(uint32_t playerId, int32_t reason);
Bytes zoneBroadcast(std::string_view text);
Bytes shutdownOrder();
Bytes recycleOrder();

// One readable line (without line end) for any message from the server.
std::string describeServerMessage(std::span<const uint8_t> message);

}  // namespace zoneclient
