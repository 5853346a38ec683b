#include <gtest/gtest.h>

#include <random>

#include "command_fixture.h"

namespace tallysv::testing {
namespace {

class ChatCommandsTest : public CommandTest {
protected:
    void SetUp() override {
        alpha = &loginZone(1, 1, "Alpha");
        beta = &loginZone(2, 1, "Beta");
        ann = seat(*alpha, "Ann", 1);
        cid = seat(*alpha, "Cid", 2);
        bea = seat(*beta, "Bea", 1);
    }
    // The channel names of a player's slots 1 to 9, "-" for an empty slot.
    std::string slots(const Seat& who) {
        std::string out;
        for (int slot = 1; slot <= 9; ++slot) {
            const ChatChannel* channel = who.session->chatSlot(slot);
            if (slot > 1) out += "|";
            out += channel ? std::string(channel->name()) : "-";
        }
        return out;
    }
    // The chat lines a zone received, as "player:slot:text".
    Lines notices(SimZone& zone) {
        Lines out;
        for (const auto& line : chatLines(zone))
            out.push_back(std::to_string(line.playerId) + ":" + std::to_string(line.slot) + ":" + line.text);
        return out;
    }
    void quiet() {
        chatLines(*alpha);
        chatLines(*beta);
    }
    SimZone* alpha = nullptr;
    SimZone* beta = nullptr;
    Seat ann{}, cid{}, bea{};
};

TEST_F(ChatCommandsTest, NotifychatArgumentForms) {
    struct Case {
        const char* text;
        const char* reply;
        uint8_t flag;
    };
    const Case cases[] = {
        {"?notifychat", "Chat notify DISABLED", 0},
        {"?notifychat=", "Chat notify DISABLED", 0},
        {"?notifychat=x", "Chat notify DISABLED", 0},
        {"?notifychat=o", "Chat notify ENABLED", 1},
        {"?notifychat", "Chat notify ENABLED", 1},
        {"?notifychat=x", "Chat notify ENABLED", 1},
        {"?notifychat=off", "Chat notify DISABLED", 0},
        {"?notifychat=On", "Chat notify ENABLED", 1},
        {"?notifychat=OF", "Chat notify DISABLED", 0},
        {"?notifychat=1", "Chat notify ENABLED", 1},
        {"?notifychat=0", "Chat notify DISABLED", 0},
        {"?notifychat=y", "Chat notify ENABLED", 1},
        {"?notifychat=N", "Chat notify DISABLED", 0},
        {"?notifychat=Yes", "Chat notify ENABLED", 1},
        {"?notifychat=f", "Chat notify DISABLED", 0},
        {"?notifychat=T", "Chat notify ENABLED", 1},
        {"?notifychat=F", "Chat notify DISABLED", 0},
        {"?notifychat=t", "Chat notify ENABLED", 1},
        {"?notifychat=n", "Chat notify DISABLED", 0},
        {"?notifychat=Y", "Chat notify ENABLED", 1},
        {"?notifycXXXX0", "Chat notify DISABLED", 0},  // eight characters are compared
    };
    // Without a registration only the session changes.
    for (const Case& c : cases) {
        EXPECT_EQ(type(ann, c.text), Lines{c.reply}) << c.text;
        EXPECT_EQ(ann.session->NotifyChat, c.flag) << c.text;
    }
    EXPECT_EQ(ann.session->user->registration(), nullptr);

    // With one, the setting is kept in it as well (and saved with it).
    User2Record* form = database.registerUser(*bea.session->user, "Bea Real", "bea@example.org", 5);
    EXPECT_EQ(type(bea, "?notifychat=on"), Lines{"Chat notify ENABLED"});
    EXPECT_TRUE(form->NotifyChat);
    EXPECT_EQ(bea.session->NotifyChat, 1);
    EXPECT_EQ(type(bea, "?notifychat=no"), Lines{"Chat notify DISABLED"});
    EXPECT_FALSE(form->NotifyChat);
}

TEST_F(ChatCommandsTest, AddchatFillsFreeSlots) {
    EXPECT_EQ(type(ann, "?addchat"), Lines{});
    EXPECT_EQ(type(ann, "?addchat="), Lines{});
    EXPECT_EQ(slots(ann), "-|-|-|-|-|-|-|-|-");
    EXPECT_EQ(type(ann, "?addchat=a,b c"), Lines{});
    EXPECT_EQ(slots(ann), "a|b|c|-|-|-|-|-|-");
    // Empty names are skipped; a channel already held changes nothing.
    EXPECT_EQ(type(ann, "?addchat=,, B ,d"), Lines{});
    EXPECT_EQ(slots(ann), "a|b|c|d|-|-|-|-|-");
    type(ann, "?leavechat 2");
    EXPECT_EQ(type(ann, "?addchat=e"), Lines{});
    EXPECT_EQ(slots(ann), "a|e|c|d|-|-|-|-|-");
    EXPECT_EQ(type(ann, "?addchat=f,g,h,i"), Lines{});
    // Eight held: the first name goes in, the second finds the list full.
    EXPECT_EQ(slots(ann), "a|e|c|d|f|g|h|i|-");
    EXPECT_EQ(type(ann, "?addchat=x,y,z"), Lines{"Channel list full"});
    EXPECT_EQ(slots(ann), "a|e|c|d|f|g|h|i|x");
    EXPECT_EQ(zones.chatChannels().find("y"), nullptr);
    EXPECT_EQ(type(ann, "?addchat=a"), Lines{"Channel list full"}) << "a full list is full for any name";

    // A long name makes the channel of its first 31 characters; a second
    // player naming it joins that same channel.
    const std::string longName = "Channel" + std::string(30, 'L');
    type(cid, "?addchat=" + longName);
    type(bea, "?addchat=" + longName + "MORE");
    ASSERT_NE(cid.session->chatSlot(1), nullptr);
    EXPECT_EQ(cid.session->chatSlot(1)->name(), longName.substr(0, 31));
    EXPECT_EQ(bea.session->chatSlot(1), cid.session->chatSlot(1));
    EXPECT_EQ(zones.channelMembershipFault(), "");
}

TEST_F(ChatCommandsTest, LeavechatByNumberOrExactName) {
    // Channel names compare without regard to case: Foo and foo are one.
    type(bea, "?addchat=Foo");
    type(ann, "?chat=foo,Bar,Two   Words,5");
    ASSERT_EQ(slots(ann), "Foo|Bar|Two Words|5|-|-|-|-|-");
    bea.session->NotifyChat = 1;
    quiet();

    struct Case {
        const char* text;
        const char* after;
    };
    const Case cases[] = {
        {"?leavechat", "Foo|Bar|Two Words|5|-|-|-|-|-"},
        {"?leavechat=", "Foo|Bar|Two Words|5|-|-|-|-|-"},
        {"?leavechat 7", "Foo|Bar|Two Words|5|-|-|-|-|-"},  // an empty slot
        {"?leavechat foo", "Foo|Bar|Two Words|5|-|-|-|-|-"},  // here names compare exactly
        {"?leavechat bar", "Foo|Bar|Two Words|5|-|-|-|-|-"},
        {"?leavechat   Two  Words ", "Foo|Bar|-|5|-|-|-|-|-"},
        {"?leavechat 5", "Foo|Bar|-|5|-|-|-|-|-"},  // a digit is a slot number, and slot 5 is empty
        {"?leavechat 4", "Foo|Bar|-|-|-|-|-|-|-"},
        {"?leavechat=Bar", "Foo|-|-|-|-|-|-|-|-"},
        {"?leavechat Foo", "-|-|-|-|-|-|-|-|-"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(type(ann, c.text), Lines{}) << c.text;
        EXPECT_EQ(slots(ann), c.after) << c.text;
    }
    EXPECT_EQ(notices(*beta), Lines{"1:1:Ann left Foo"});
    EXPECT_EQ(zones.chatChannels().find("5"), nullptr);
}

TEST_F(ChatCommandsTest, ListingHidesGhostedOperatorsAndRunsTenToALine) {
    EXPECT_EQ(type(ann, "?chat"), Lines{}) << "no channels, no reply";
    type(ann, "?addchat=Lobby,Solo");
    type(cid, "?addchat=Lobby");
    type(bea, "?addchat=Lobby");
    EXPECT_EQ(type(ann, "?chat"), (Lines{"1)Lobby: Ann,Cid,Bea", "2)Solo: Ann"}));
    EXPECT_EQ(type(ann, "?chatty"), (Lines{"1)Lobby: Ann,Cid,Bea", "2)Solo: Ann"})) << "no separator: a listing";

    // A ghosted ordinary player shows; a ghosted operator does not, nor
    // does a comma betray him.
    cid.session->ghosting = 1;
    EXPECT_EQ(type(ann, "?chat"), (Lines{"1)Lobby: Ann,Cid,Bea", "2)Solo: Ann"}));
    makeOperator(*bea.session, 4);
    bea.session->ghosting = 1;
    EXPECT_EQ(type(ann, "?chat"), (Lines{"1)Lobby: Ann,Cid", "2)Solo: Ann"}));
    makeOperator(*cid.session, 4);
    EXPECT_EQ(type(ann, "?chat"), (Lines{"1)Lobby: Ann", "2)Solo: Ann"}));
    bea.session->ghosting = 0;
    cid.session->ghosting = 0;

    // Twenty-three members: ten names a line, the prefix on the first only.
    Lines expected = {"1)Lobby: Ann,Cid,Bea"};
    for (uint32_t id = 10; id < 30; ++id) {
        Seat extra = seat(*alpha, "P" + std::to_string(id), id);
        type(extra, "?addchat=lobby");
        expected[0] += ",P" + std::to_string(id);
    }
    Lines listing = type(ann, "?chat");
    ASSERT_EQ(listing.size(), 4u);
    EXPECT_EQ(listing[3], "2)Solo: Ann");
    EXPECT_EQ(listing[0], "1)Lobby: Ann,Cid,Bea,P10,P11,P12,P13,P14,P15,P16");
    EXPECT_EQ(listing[1], "P17,P18,P19,P20,P21,P22,P23,P24,P25,P26");
    EXPECT_EQ(listing[2], "P27,P28,P29");
}

TEST_F(ChatCommandsTest, ReassignmentSendsNoticesOnlyForRealChanges) {
    bea.session->NotifyChat = 1;
    cid.session->NotifyChat = 1;
    type(ann, "?addchat=a,b");
    type(bea, "?addchat=a,b,c");
    quiet();

    // A swap: other members hear nothing.
    EXPECT_EQ(type(ann, "?chat=b,a"), Lines{});
    EXPECT_EQ(slots(ann), "b|a|-|-|-|-|-|-|-");
    EXPECT_EQ(notices(*beta), Lines{});

    // Keeping b, dropping a, entering c and creating d: one entering notice
    // (on the hearer's own slot), then one leaving notice.
    EXPECT_EQ(type(ann, "?chat=b,c,d"), Lines{});
    EXPECT_EQ(slots(ann), "b|c|d|-|-|-|-|-|-");
    EXPECT_EQ(notices(*beta), (Lines{"1:3:Ann entering c", "1:1:Ann left a"}));
    EXPECT_EQ(notices(*alpha), Lines{}) << "Ann does not want notices, so no 'created'";

    // The creator hears of a creation only with notices on; d, which Ann
    // alone held, went when she left it and is made anew.
    type(ann, "?notifychat=on");
    EXPECT_EQ(type(ann, "?chat=b,c,d,New Room"), Lines{});
    EXPECT_EQ(notices(*alpha), (Lines{"1:3:Ann created d", "1:4:Ann created New Room"}));
    EXPECT_EQ(notices(*beta), Lines{});

    // The same channel twice takes one slot; names are cleaned of blanks;
    // empty names are skipped.
    EXPECT_EQ(type(ann, "?chat=x,X,, y  z ,c"), Lines{});
    EXPECT_EQ(slots(ann), "x|y z|c|-|-|-|-|-|-");
    EXPECT_EQ(notices(*beta), Lines{"1:2:Ann left b"});
    quiet();

    // At most nine channels; the rest of the text is ignored.
    type(ann, "?chat=1,2,3,4,5,6,7,8,9,10,11");
    EXPECT_EQ(slots(ann), "1|2|3|4|5|6|7|8|9");
    EXPECT_EQ(zones.chatChannels().find("10"), nullptr);
    EXPECT_EQ(notices(*beta), Lines{"1:3:Ann left c"});

    // "?chat=" alone leaves every channel, with leaving notices.
    type(cid, "?addchat=5");
    quiet();
    EXPECT_EQ(type(ann, "?chat="), Lines{});
    EXPECT_EQ(slots(ann), "-|-|-|-|-|-|-|-|-");
    EXPECT_EQ(notices(*alpha), Lines{"2:1:Ann left 5"});
    EXPECT_EQ(type(ann, "?chat"), Lines{});
    EXPECT_EQ(zones.channelMembershipFault(), "");
}

// Random ?chat=, ?addchat, ?leavechat and leavings by several players, with
// the membership invariant checked after each step.
TEST_F(ChatCommandsTest, RandomCommandSequencesKeepMembership) {
    std::mt19937 random(99);
    auto pick = [&](size_t n) { return random() % n; };
    const char* names[] = {"Red", "red", "Blue", " Blue ", "Green", "1", "9"};
    std::vector<Seat> seats = {ann, cid, bea, seat(*beta, "Dee", 2)};
    for (Seat& s : seats) s.session->NotifyChat = static_cast<uint8_t>(pick(2));
    uint32_t nextID = 100;
    auto list = [&](size_t count, char separator) {
        std::string out;
        for (size_t i = 0; i < count; ++i) out += (i ? std::string(1, separator) : "") + names[pick(7)];
        return out;
    };
    for (int step = 0; step < 500; ++step) {
        Seat& who = seats[pick(seats.size())];
        std::string text;
        switch (pick(6)) {
            case 0: text = "?chat=" + list(pick(12), ','); break;
            case 1: text = "?addchat=" + list(1 + pick(4), pick(2) ? ',' : ' '); break;
            case 2: text = "?leavechat " + std::string(names[pick(7)]); break;
            case 3: text = "?leavechat " + std::to_string(pick(10)); break;
            case 4: text = "?chat"; break;
            default: {
                // The player leaves the zone; a new one takes the seat.
                send(*who.zone, zoneclient::playerLeaving(who.playerID, 0, std::nullopt));
                who = seat(*who.zone, "N" + std::to_string(nextID), nextID);
                ++nextID;
                text = "?chat";
            }
        }
        type(who, text);
        ASSERT_EQ(zones.channelMembershipFault(), "") << "step " << step << ": " << text;
    }
}

}  // namespace
}  // namespace tallysv::testing
