#include <algorithm>
#include <cstring>
#include <string>

#include "core/fields.h"
#include "core/text_string.h"
#include "zone/zone_protocol.h"

namespace tallysv {

namespace {

void sendChannelNotice(ZoneProtocol& zones, ChatChannel& channel, const PlayerSession& about, const char* verb) {
    TextString notice;
    notice.assign(about.name()).append(verb).append(channel.nameText());
    for (const ChatMember& member : channel.members) {
        if (member.session != &about && member.session->NotifyChat) {
            zones.sendChatLine(*member.session, static_cast<uint8_t>(member.slot), notice.view());
        }
    }
}

}  // namespace

ChatChannel* ZoneProtocol::joinChannel(PlayerSession& player, std::string_view name, int slot, bool announce) {
    if (slot < 0 || slot > 9) return nullptr;
    if (ChatChannel* channel = database_.findChatChannel(name)) {
        for (const ChatMember& member : channel->members) {
            if (member.session == &player) return nullptr;
        }
        player.chatSlots[slot] = channel;
        channel->members.push_back(ChatMember{&player, slot});
        if (announce) sendChannelNotice(*this, *channel, player, " entering ");
        return channel;
    }
    ChatChannel* channel = database_.createChatChannel(name);
    channel->members.push_back(ChatMember{&player, slot});
    player.chatSlots[slot] = channel;
    if (player.NotifyChat) {
        TextString notice;
        notice.assign(player.name()).append(" created ").append(channel->nameText());
        sendChatLine(player, static_cast<uint8_t>(slot), notice.view());
    }
    return channel;
}

void ZoneProtocol::leaveChannel(PlayerSession& player, int slot, bool announce) {
    if (slot < 0 || slot > 9) return;
    ChatChannel* channel = player.chatSlots[slot];
    if (!channel) return;
    if (announce) sendChannelNotice(*this, *channel, player, " left ");
    auto& members = channel->members;
    auto it = std::find_if(members.begin(), members.end(),
                           [&](const ChatMember& m) { return m.session == &player && m.slot == slot; });
    if (it != members.end()) members.erase(it);
    if (members.empty()) database_.removeChatChannel(channel);
    player.chatSlots[slot] = nullptr;
}

void ZoneProtocol::leaveAllChannels(PlayerSession& player, bool announce) {
    for (int slot = 0; slot <= 9; ++slot) leaveChannel(player, slot, announce);
}

bool ZoneProtocol::onChat(InboundMessage& message) {
    Host& zone = *message.host;
    const uint8_t* m = message.data();
    PlayerSession* player = zoneSession(zone).findPlayer(readUInt32(m, 1));
    if (!player) {
        log_.printf("%i - Chat(INVALID)\n", zone.scoreId);
        return true;
    }
    const char selector = static_cast<char>(m[5]);
    const int slot = selector >= '0' && selector <= '9' ? selector - '0' : 1;
    const std::string text(messageText(message, kChatLength));
    ChatChannel* channel = player->chatSlots[slot];
    if (!channel) {
        log_.printf("%i - Chat(IGNORED)%s>%s\n", zone.scoreId, player->name(), text.c_str());
        return true;
    }
    std::string line = std::string(player->name()) + "> " + text;
    for (const ChatMember& member : channel->members) {
        if (member.session == player || !member.session->zone->externalChat) continue;
        sendChatLine(*member.session, static_cast<uint8_t>(member.slot), line);
    }
    log_.printf("%i - Chat: (%s)%s>%s\n", zone.scoreId, channel->nameText(), player->name(), text.c_str());
    return true;
}

}  // namespace tallysv
