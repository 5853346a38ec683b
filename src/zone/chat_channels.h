#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "db/chain_index.h"
#include "db/fixed_text.h"
#include "db/table.h"

namespace tallysv {

struct PlayerSession;
class ZoneProtocol;

// A member of a chat channel: a player, under his own slot number for it.
struct ChatMember {
    PlayerSession* session = nullptr;
    int slot = 0;  // 1 to 9: the member's own number for the channel
};

// A chat channel: lives in memory while it has members.
// A player is in a channel's member list exactly when one of the player's
// chat slots holds the channel, under the same slot number. Only the zone
// layer's Join and Leave change either side, together.
struct ChatChannel : TableLinks<ChatChannel> {
    std::string_view name() const { return name_.view(); }  // indexed
    const char* nameText() const { return name_.c_str(); }
    const std::vector<ChatMember>& members() const { return members_; }  // in joining order

private:
    friend class ChatChannels;
    friend class ZoneProtocol;
    friend struct ChannelNameKey;
    std::vector<ChatMember> members_;
    FixedText<32> name_;
    ChatChannel* nextSameName_ = nullptr;
};

// Channel names compare whole, ASCII case folded.
struct ChannelNameKey {
    using Key = std::string_view;
    static Key key(const ChatChannel& r) { return r.name(); }
    static uint64_t hash(Key k) { return hashFolded(k); }
    static bool equal(Key k, const ChatChannel& r) { return equalFolded(k, r.name()); }
    static ChatChannel*& next(ChatChannel& r) { return r.nextSameName_; }
};

// The chat channels in use, in the order they were made, with their name
// index. Memory only: nothing of them is saved. The zone layer owns them
// and runs Join and Leave; every call is made with the transport lock held.
class ChatChannels {
public:
    ChatChannels() = default;
    ChatChannels(const ChatChannels&) = delete;
    ChatChannels& operator=(const ChatChannels&) = delete;

    // The first channel of the name (whole name, any case), or none.
    ChatChannel* find(std::string_view name) const;
    // A new channel without members, at the end of the table.
    ChatChannel* create(std::string_view name);
    // Discards a channel that has no member left; one with members stays
    // (its members' slots hold it), and the answer is false.
    bool remove(ChatChannel* channel);
    // Forgets every channel, members or not: for a server whose players
    // are gone all at once (the fuzz targets start each input so). The
    // table keeps some memory for the channels to come.
    void clear();

    size_t count() const { return channels_.count(); }
    bool empty() const { return channels_.empty(); }
    Table<ChatChannel>::Iterator begin() const { return channels_.begin(); }
    Table<ChatChannel>::Iterator end() const { return channels_.end(); }

private:
    Table<ChatChannel> channels_;
    ChainIndex<ChatChannel, ChannelNameKey> byName_;
};

// The console's chat list ('C' key): "Chat list:", then one line per
// channel in table order with its members' names in joining order.
void printChatList(const ChatChannels& channels, Log& log);

}  // namespace tallysv
