#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

#include "core/fields.h"
#include "core/text_string.h"
#include "zone/zone_protocol.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

// Channel names are kept in 31 characters; a longer name given to Join
// stands for the channel that its first 31 characters name.
constexpr size_t kChannelNameLimit = 31;

}  // namespace

void ZoneProtocol::sendChannelNotice(const ChatChannel& channel, const PlayerSession& about, ChannelNotice kind) {
    TextString notice;
    notice.assign(about.name()).append(kind == ChannelNotice::Entering ? " entering " : " left ").append(channel.nameText());
    for (const ChatMember& member : channel.members()) {
        if (member.session != &about && member.session->NotifyChat) {
            sendChatLine(*member.session, static_cast<uint8_t>(member.slot), notice.view());
        }
    }
}

ChatChannel* ZoneProtocol::joinChannel(PlayerSession& player, std::string_view name, int slot, bool announce) {
    // Entry 0 carries operator notices and never holds a channel.
    if (slot < 1 || slot > 9) return nullptr;
    name = untilNul(name).substr(0, kChannelNameLimit);
    ChatChannel* channel = chatChannels_.find(name);
    if (channel) {
        for (const ChatMember& member : channel->members_) {
            if (member.session == &player) return nullptr;
        }
    }
    // A slot holds one channel: the one it held is left first, so that no
    // member list keeps a player whose slot has moved on.
    if (player.chatSlots_[slot]) leaveChannel(player, slot, announce);
    if (channel) {
        player.chatSlots_[slot] = channel;
        channel->members_.push_back(ChatMember{&player, slot});
        if (announce) sendChannelNotice(*channel, player, ChannelNotice::Entering);
        return channel;
    }
    channel = chatChannels_.create(name);
    channel->members_.push_back(ChatMember{&player, slot});
    player.chatSlots_[slot] = channel;
    if (player.NotifyChat) {
        TextString notice;
        notice.assign(player.name()).append(" created ").append(channel->nameText());
        sendChatLine(player, static_cast<uint8_t>(slot), notice.view());
    }
    return channel;
}

void ZoneProtocol::leaveChannel(PlayerSession& player, int slot, bool announce) {
    if (slot < 0 || slot > 9) return;
    ChatChannel* channel = player.chatSlots_[slot];
    if (!channel) return;
    if (announce) sendChannelNotice(*channel, player, ChannelNotice::Leaving);
    auto& members = channel->members_;
    auto it = std::find_if(members.begin(), members.end(),
                           [&](const ChatMember& m) { return m.session == &player && m.slot == slot; });
    if (it != members.end()) members.erase(it);
    player.chatSlots_[slot] = nullptr;
    if (members.empty()) chatChannels_.remove(channel);
}

void ZoneProtocol::leaveAllChannels(PlayerSession& player, bool announce) {
    for (int slot = 0; slot <= 9; ++slot) leaveChannel(player, slot, announce);
}

std::string ZoneProtocol::channelMembershipFault() const {
    std::unordered_set<const PlayerSession*> live;
    size_t heldSlots = 0;
    for (const auto& host : transport_.hosts()) {
        const ZoneSession* zone = existingZoneSession(*host);
        if (!zone) continue;
        for (const auto& player : zone->players()) {
            live.insert(player.get());
            if (player->chatSlots_[0]) return std::string(player->name()) + " holds a channel in slot 0";
            for (int slot = 1; slot <= 9; ++slot) {
                const ChatChannel* channel = player->chatSlots_[slot];
                if (!channel) continue;
                ++heldSlots;
                int entries = 0;
                for (const ChatMember& member : channel->members_)
                    if (member.session == player.get()) entries += member.slot == slot ? 1 : 100;
                if (entries != 1)
                    return std::string(player->name()) + " slot " + std::to_string(slot) + " holds " +
                           channel->nameText() + " without one matching member entry";
            }
        }
    }
    size_t entries = 0;
    for (const ChatChannel* channel : chatChannels_) {
        if (channel->members_.empty()) return std::string("empty channel ") + channel->nameText();
        if (chatChannels_.find(channel->name()) == nullptr)
            return std::string("channel ") + channel->nameText() + " missing from the name index";
        for (const ChatMember& member : channel->members_) {
            // Compared before any use: a freed session must not be read.
            if (!live.contains(member.session))
                return std::string("channel ") + channel->nameText() + " lists a player who is gone";
            if (member.slot < 1 || member.slot > 9 || member.session->chatSlots_[member.slot] != channel)
                return std::string("channel ") + channel->nameText() + " lists " + member.session->name() +
                       " under a slot that holds something else";
            ++entries;
        }
    }
    if (entries != heldSlots) return "member entries and held slots differ in number";
    return {};
}

bool ZoneProtocol::onChat(InboundMessage& message) {
    Host& zone = *message.host;
    const uint8_t* m = message.data();
    PlayerSession* player = zoneSession(zone).findPlayer(readUInt32(m, 1));
    if (!player) {
        log_.printf("%i - Chat(INVALID)\n", zoneOf(zone).scoreId);
        return true;
    }
    ++counters_.chatMessages;
    const char selector = static_cast<char>(m[5]);
    const int slot = selector >= '0' && selector <= '9' ? selector - '0' : 1;
    const std::string text(messageText(message, kChatLength));
    ChatChannel* channel = player->chatSlot(slot);
    if (!channel) {
        log_.printf("%i - Chat(IGNORED)%s>%s\n", zoneOf(zone).scoreId, player->name(), text.c_str());
        return true;
    }
    std::string line = std::string(player->name()) + "> " + text;
    for (const ChatMember& member : channel->members()) {
        if (member.session == player || !zoneOf(*member.session->zone).externalChat) continue;
        sendChatLine(*member.session, static_cast<uint8_t>(member.slot), line);
    }
    log_.printf("%i - Chat: (%s)%s>%s\n", zoneOf(zone).scoreId, channel->nameText(), player->name(), text.c_str());
    return true;
}

}  // namespace tallysv
