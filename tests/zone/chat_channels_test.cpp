// The table of chat channels on its own: lookups by name, the listing of
// a channel without members, and the forgetting of every channel that a
// server whose players are all gone (the fuzz targets' reset) relies on.
#include <gtest/gtest.h>

#include "core/log.h"
#include "zone/chat_channels.h"

namespace tallysv {
namespace {

TEST(ChatChannelsTest, NamesCompareWholeInAnyCase) {
    ChatChannels channels;
    ChatChannel* lobby = channels.create("Lobby");
    EXPECT_EQ(channels.find("lobby"), lobby);
    EXPECT_EQ(channels.find(std::string_view("LOBBY\0rest", 10)), lobby);
    EXPECT_EQ(channels.find("lobby2"), nullptr);
    EXPECT_EQ(channels.find("Lobb"), nullptr);
    // The first channel of a name is the one found.
    channels.create("LOBBY");
    EXPECT_EQ(channels.find("Lobby"), lobby);
    EXPECT_TRUE(channels.remove(lobby));
    EXPECT_EQ(channels.find("Lobby")->name(), "LOBBY");
}

TEST(ChatChannelsTest, ListingOfAChannelWithoutMembers) {
    // Channels get members only through the zone layer, whose tests cover
    // the chat list with members.
    ChatChannels channels;
    channels.create("Empty");
    channels.create("Other");
    RecordingLog log;
    printChatList(channels, log);
    EXPECT_EQ(log.text(), "Chat list:\nEmpty:\nOther:\n");
}

TEST(ChatChannelsTest, ClearedTableBehavesAsANewOne) {
    ChatChannels channels;
    for (const char* name : {"One", "Two", "Three"}) channels.create(name);
    channels.clear();
    EXPECT_TRUE(channels.empty());
    EXPECT_EQ(channels.find("One"), nullptr);
    EXPECT_EQ(channels.begin(), channels.end());

    ChatChannel* again = channels.create("Two");
    EXPECT_EQ(channels.count(), 1u);
    EXPECT_EQ(channels.find("two"), again);
    EXPECT_EQ(channels.find("Three"), nullptr);
}

}  // namespace
}  // namespace tallysv
