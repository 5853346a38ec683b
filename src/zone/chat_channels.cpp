#include "zone/chat_channels.h"

#include <string>

#include "core/text.h"
#include "zone/player_session.h"

namespace tallysv {

ChatChannel* ChatChannels::find(std::string_view name) const { return byName_.find(untilNul(name)); }

ChatChannel* ChatChannels::create(std::string_view name) {
    ChatChannel* channel = channels_.append();
    channel->name_.set(name);
    byName_.insert(channel);
    return channel;
}

bool ChatChannels::remove(ChatChannel* channel) {
    if (!channel->members_.empty()) return false;
    byName_.remove(channel);
    channels_.remove(channel);
    return true;
}

void ChatChannels::clear() {
    byName_.clear();
    channels_.reset();
}

void printChatList(const ChatChannels& channels, Log& log) {
    log.write("Chat list:\n");
    for (const ChatChannel* channel : channels) {
        // Channel and player names come from zones: escaped, as in every
        // console line.
        std::string line = escapeControlBytes(channel->name()) + ":";
        bool first = true;
        for (const ChatMember& member : channel->members()) {
            if (!member.session) continue;
            if (!first) line += ",";
            appendControlBytesEscaped(line, member.session->name());
            first = false;
        }
        line += "\n";
        log.write(line);
    }
}

}  // namespace tallysv
