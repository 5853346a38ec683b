#include <cstring>
#include <string>
#include <vector>

#include "core/fields.h"
#include "zone/zone_protocol.h"

namespace tallysv {

namespace {

constexpr uint8_t kBroadcastHeader[7] = {kBroadcastMessage, 0xB8, 0x0B, 0x00, 0x00, 0x02, 0x00};

}  // namespace

bool ZoneProtocol::onBroadcast(InboundMessage& message) {
    Host& zone = *message.host;
    const uint8_t* m = message.data();
    const int32_t playerID = readInt32(m, 1);
    const std::string text(messageText(message, kBroadcastLength));
    ++counters_.broadcasts;

    // The outgoing message: the header, then the text as received, or the
    // text with a signature appended; never more than 512 bytes.
    std::vector<uint8_t> out(kBroadcastHeader, kBroadcastHeader + sizeof kBroadcastHeader);
    auto sendSigned = [&](const std::string& signature, int32_t groupID) {
        if (signature.empty()) {
            out.insert(out.end(), m + kBroadcastLength, m + message.length);
        } else {
            out.insert(out.end(), text.begin(), text.end());
            out.insert(out.end(), signature.begin(), signature.end());
            out.push_back(0);
        }
        if (out.size() > static_cast<size_t>(kMessageBuffer)) {
            out.resize(kMessageBuffer);
            out.back() = 0;
        }
        sendToZones(out, groupID);
    };

    if (playerID == -1) {
        sendSigned("", 0);
        log_.printf("%i - Broadcast %s\n", zoneOf(zone).scoreId, text.c_str());
        return true;
    }
    PlayerSession* player = zoneSession(zone).findPlayer(static_cast<uint32_t>(playerID));
    if (!player) {
        sendSigned(" [" + zoneOf(zone).zoneNameText() + "]", 0);
        log_.printf("%i - Broadcast %s\n", zoneOf(zone).scoreId, text.c_str());
        return true;
    }
    const OperatorRecord* op = player->op;
    if (!op || op->level >= 3) return true;
    std::string signature;
    if (op->level != 0) signature = " [" + std::string(player->name()) + "@" + zoneOf(zone).zoneNameText() + "]";
    if (op->groupID != 0) {
        sendSigned(signature, op->groupID);
        return true;
    }
    sendSigned(signature, 0);
    log_.printf("%i - Broadcast %s\n", zoneOf(zone).scoreId, text.c_str());
    return true;
}

bool ZoneProtocol::onPrivateMessage(InboundMessage& message) {
    Host& zone = *message.host;
    const uint8_t* m = message.data();
    const int32_t senderID = readInt32(m, 1);
    const int32_t recipientID = readInt32(m, 5);
    UserRecord* sender = senderID == -1 ? nullptr : database_.findUserByID(senderID);
    if (!sender) return true;
    UserRecord* recipient = recipientID == -1 ? nullptr : database_.findUserByID(recipientID);
    const std::string text(messageText(message, kPrivateMessageLength));
    if (!recipient) {
        log_.printf("%i - (%s)> %s\n", zoneOf(zone).scoreId, sender->nameText(), text.c_str());
        return true;
    }
    log_.printf("%i - (%s -> %s)> %s\n", zoneOf(zone).scoreId, sender->nameText(), recipient->nameText(), text.c_str());
    if (text.compare(0, 8, "*monitor") == 0) {
        for (const auto& player : zoneSession(zone).players()) {
            if (player->user != sender) continue;
            if (player->op && player->op->level <= 2) {
                sendPlayerText(*player, std::string(recipient->nameText()) + ": *monitor has not been implemented yet.");
            }
            break;
        }
    }
    return true;
}

bool ZoneProtocol::onLogLine(InboundMessage& message) {
    const std::string text(messageText(message, kLogLineLength));
    log_.printf("%i - %s\n", zoneOf(*message.host).scoreId, text.c_str());
    return true;
}

bool ZoneProtocol::onPlayerBanner(InboundMessage& message) {
    Host& zone = *message.host;
    const uint8_t* m = message.data();
    PlayerSession* player = zoneSession(zone).findPlayer(readUInt32(m, 1));
    if (!player) {
        log_.printf("%i - Got player banner(INVALID)\n", zoneOf(zone).scoreId);
        return true;
    }
    log_.printf("%i - Got player banner: %s\n", zoneOf(zone).scoreId, player->name());
    std::memcpy(player->user->banner.data(), m + 5, player->user->banner.size());
    return true;
}

}  // namespace tallysv
