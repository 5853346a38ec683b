// Chat channel membership as one invariant: a player is in a channel's
// member list exactly when one of the player's slots holds that channel,
// under the same slot number.
#include <random>

#include "zone_fixture.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

class ChatMembershipTest : public ZoneTest {
protected:
    ChatMembershipTest() : home(loginZone(1, 10, "Home")), away(loginZone(2, 10, "Away")) {
        loginPlayer(home, "Stayer", "pw", 1);
        loginPlayer(home, "Quiet", "pw", 2);
        loginPlayer(away, "Gone", "pw", 1);
        loginPlayer(away, "Also", "pw", 2);
        for (SimZone* z : {&home, &away}) z->received.clear();
    }
    SimZone& home;
    SimZone& away;

    // The names of a channel's members, in list order.
    std::vector<std::string> memberNames(const char* channel) {
        std::vector<std::string> out;
        const ChatChannel* found = zones.chatChannels().find(channel);
        if (found)
            for (const ChatMember& member : found->members()) out.push_back(member.session->name());
        return out;
    }
};

TEST_F(ChatMembershipTest, JoiningAnOccupiedSlotLeavesItsChannelAndSessionEndLeavesNothingBehind) {
    PlayerSession& stayer = *player(home, 1);
    PlayerSession& gone = *player(away, 1);
    stayer.NotifyChat = 1;
    zones.joinChannel(stayer, "Old", 2, false);
    zones.joinChannel(stayer, "New", 5, false);
    ASSERT_NE(zones.joinChannel(gone, "Old", 3, true), nullptr);
    chatLines(home);

    // Two channels on one slot: the second takes the slot, the first lets
    // the player go (and says so).
    ChatChannel* fresh = zones.joinChannel(gone, "New", 3, true);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(gone.chatSlot(3), fresh);
    EXPECT_EQ(memberNames("Old"), std::vector<std::string>{"Stayer"});
    EXPECT_EQ(memberNames("New"), (std::vector<std::string>{"Stayer", "Gone"}));
    auto notices = chatLines(home);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].slot, 2);
    EXPECT_EQ(notices[0].text, "Gone left Old");
    EXPECT_EQ(notices[1].slot, 5);
    EXPECT_EQ(notices[1].text, "Gone entering New");
    EXPECT_EQ(zones.channelMembershipFault(), "");

    // The zone's session ends; every channel left holds live players only.
    send(away, zoneclient::disconnectNotice());
    ASSERT_FALSE(loggedIn(away));
    EXPECT_EQ(zones.channelMembershipFault(), "");
    auto leaving = chatLines(home);
    ASSERT_EQ(leaving.size(), 1u) << "Gone left Old before, and says so once for New";
    EXPECT_EQ(leaving[0].slot, 5);
    EXPECT_EQ(leaving[0].text, "Gone left New");
    for (const ChatChannel* channel : zones.chatChannels()) {
        for (const ChatMember& member : channel->members()) {
            EXPECT_EQ(member.session, &stayer) << channel->nameText();
            EXPECT_EQ(stayer.chatSlot(member.slot), channel);
        }
    }
    log.clear();
    printChatList(zones.chatChannels(), log);
    EXPECT_EQ(log.text(), "Chat list:\nOld:Stayer\nNew:Stayer\n");
    // A notice to the channels reaches the one member left and nothing else.
    PlayerSession& quiet = *player(home, 2);
    quiet.NotifyChat = 1;
    zones.joinChannel(quiet, "Old", 1, true);
    zones.joinChannel(quiet, "New", 2, true);
    auto entering = chatLines(home);
    ASSERT_EQ(entering.size(), 2u);
    EXPECT_EQ(entering[0].text, "Quiet entering Old");
    EXPECT_EQ(entering[1].text, "Quiet entering New");
}

TEST_F(ChatMembershipTest, SlotsOutsideOneToNineAndLongNames) {
    PlayerSession& stayer = *player(home, 1);
    EXPECT_EQ(zones.joinChannel(stayer, "Zero", 0, false), nullptr) << "slot 0 carries operator notices";
    EXPECT_EQ(zones.joinChannel(stayer, "Ten", 10, false), nullptr);
    EXPECT_EQ(zones.joinChannel(stayer, "Minus", -1, false), nullptr);
    EXPECT_TRUE(zones.chatChannels().empty());

    // A name past 31 characters names the channel its first 31 make.
    const std::string longName(40, 'x');
    ChatChannel* first = zones.joinChannel(stayer, longName, 1, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name(), std::string(31, 'x'));
    EXPECT_EQ(zones.joinChannel(*player(home, 2), longName + "y", 1, false), first);
    EXPECT_EQ(zones.chatChannels().count(), 1u);

    // The table refuses to discard a channel that players hold.
    EXPECT_FALSE(zones.chatChannels().remove(first));
    EXPECT_EQ(zones.chatChannels().find(std::string(31, 'X')), first);
    EXPECT_EQ(zones.channelMembershipFault(), "");
}

// Random joins (any slot, a few names in several cases), leaves, leave-alls
// and players leaving, with the invariant checked after every step.
TEST_F(ChatMembershipTest, RandomOperationsKeepTheInvariant) {
    std::mt19937 random(2026);
    const char* names[] = {"Red", "red", "Blue", "BLUE", "Green"};
    std::vector<std::pair<SimZone*, uint32_t>> seats = {{&home, 1}, {&home, 2}, {&away, 1}, {&away, 2}};
    uint32_t nextID = 10;
    for (int step = 0; step < 600; ++step) {
        auto& [zone, id] = seats[random() % seats.size()];
        PlayerSession* who = player(*zone, id);
        ASSERT_NE(who, nullptr);
        switch (random() % 8) {
            case 0:
                zones.leaveAllChannels(*who, random() % 2);
                break;
            case 1:
                zones.leaveChannel(*who, static_cast<int>(random() % 11), random() % 2);
                break;
            case 2: {
                // The player leaves the zone and someone new takes the seat.
                send(*zone, zoneclient::playerLeaving(id, 0, std::nullopt));
                id = nextID++;
                ASSERT_TRUE(loginPlayer(*zone, "P" + std::to_string(id), "pw", id));
                break;
            }
            default:
                zones.joinChannel(*who, names[random() % 5], static_cast<int>(random() % 11), random() % 2);
        }
        ASSERT_EQ(zones.channelMembershipFault(), "") << "step " << step;
    }
}

}  // namespace
