#pragma once
#include <array>
#include <cstdint>
#include <optional>

#include "db/records.h"
#include "zone/chat_channels.h"

namespace tallysv {

class Host;
class ZoneProtocol;

// Command flood control of one player (used by the command processor).
struct CommandFloodState {
    uint32_t lastCommandTick = 0;
    uint32_t lastDecayTick = 0;  // the creation tick at first
    int32_t floodCount = 0;
};

// One player inside one zone, from an accepted entry (or lock-out) until
// the player leaves or the zone's session ends.
struct PlayerSession {
    CommandFloodState commandFlood;
    Host* zone = nullptr;
    UserRecord* user = nullptr;    // the placeholder user for a locked-out new player
    ScoreRecord* score = nullptr;  // none = "No Score"
    uint32_t playerID = 0;         // the zone's identifier for the player
    uint8_t NotifyChat = 0;
    uint8_t NotifyZone = 0;
    uint8_t NotifyBan = 0;
    uint8_t ghosting = 0;
    OperatorRecord* op = nullptr;  // the operator login, none at start
    uint32_t kickTime = 0;         // tick; 0 = no kick pending
    int32_t kickReason = 0;
    int32_t kickBanID = 0;
    // When the server accepted the login (calendar seconds): the start of
    // the play time it measures. None for a locked-out player, and none
    // again once the session's end has been counted, so no end counts twice.
    std::optional<int32_t> acceptedAt;

    const char* name() const { return user->nameText(); }
    // The channel under a slot number (1 to 9), or none.
    ChatChannel* chatSlot(int slot) const { return slot >= 0 && slot <= 9 ? chatSlots_[static_cast<size_t>(slot)] : nullptr; }

private:
    // Changed only by the zone layer's Join and Leave, which keep the
    // channels' member lists in step (entry 0 is never used).
    friend class ZoneProtocol;
    std::array<ChatChannel*, 10> chatSlots_{};
};

}  // namespace tallysv
