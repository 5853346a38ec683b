#pragma once
#include <cstdint>

namespace tallysv {

// The least lengths of the zone messages whose handlers read fixed fields.
constexpr int16_t kZoneLoginLength = 173;  // exactly
constexpr int16_t kPlayerLoginLength = 80;
constexpr int16_t kLeavingLength = 15;
constexpr int16_t kLeavingWithScores = 29;  // the score part is whole
constexpr int16_t kBroadcastLength = 11;
constexpr int16_t kFormLength = 770;
constexpr int16_t kPrivateMessageLength = 9;
constexpr int16_t kLogLineLength = 5;
constexpr int16_t kBannerLength = 101;
constexpr int16_t kScoreReportLength = 19;
constexpr int16_t kChatLength = 37;
constexpr int16_t kCommandLength = 5;  // type and the player's identifier
constexpr int16_t kLoginReplyLength = 192;

// Types of the server's messages that carry only text to be shown.
constexpr uint8_t kBroadcastMessage = 3;
constexpr uint8_t kChatLineMessage = 10;

}  // namespace tallysv
