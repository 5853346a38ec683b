#include "zone_fixture.h"

#include "core/fields.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

class ChatBroadcastTest : public ZoneTest {
protected:
    ChatBroadcastTest()
        : alpha(loginZone(1, 10, "Alpha")), beta(loginZone(2, 10, "Beta")), gamma(loginZone(3, 20, "Gamma")) {
        loginPlayer(alpha, "Ann", "pw", 1);
        loginPlayer(alpha, "Abe", "pw", 2);
        loginPlayer(beta, "Bea", "pw", 1);
        loginPlayer(gamma, "Gus", "pw", 1);
        for (SimZone* z : {&alpha, &beta, &gamma}) z->received.clear();
        log.clear();
    }
    SimZone& alpha;
    SimZone& beta;
    SimZone& gamma;

    std::vector<std::string> broadcasts(SimZone& zone) {
        std::vector<std::string> out;
        for (const Bytes& m : take(zone, 3)) out.push_back(*zoneclient::parseBroadcast(m));
        return out;
    }
};

}  // namespace

TEST_F(ChatBroadcastTest, ZoneBroadcastGoesOutUnchangedToEveryZone) {
    zoneSession(*hostOf(gamma)).externalChat = false;
    send(alpha, zoneclient::broadcast(-1, "Server restart soon"));
    EXPECT_EQ(broadcasts(alpha), (std::vector<std::string>{"Server restart soon"})) << "the sender too";
    EXPECT_EQ(broadcasts(beta), (std::vector<std::string>{"Server restart soon"}));
    EXPECT_TRUE(broadcasts(gamma).empty()) << "external chat off";
    EXPECT_TRUE(logged("1 - Broadcast Server restart soon"));
    // The wire form: header bytes, then the text as received.
    send(alpha, zoneclient::broadcast(-1, "x"));
    auto raw = take(beta, 3);
    ASSERT_EQ(raw.size(), 1u);
    Bytes incoming = zoneclient::broadcast(-1, "x");
    EXPECT_EQ(raw[0].size(), incoming.size() - 4);
    EXPECT_EQ(Bytes(raw[0].begin(), raw[0].begin() + 7), (Bytes{3, 0xB8, 0x0B, 0x00, 0x00, 0x02, 0x00}));
}

TEST_F(ChatBroadcastTest, PlayerBroadcastsBySignatureAndLevel) {
    const struct {
        uint8_t level;
        int32_t groupID;
        std::vector<std::string> atBeta;
        std::vector<std::string> atGamma;
        bool printed;
    } cases[] = {
        {0, 0, {"Hello"}, {"Hello"}, true},
        {2, 0, {"Hello [Ann@Alpha]"}, {"Hello [Ann@Alpha]"}, true},
        {1, 10, {"Hello [Ann@Alpha]"}, {}, false},
        {3, 0, {}, {}, false},
        {4, 0, {}, {}, false},
    };
    PlayerSession& ann = *player(alpha, 1);
    for (const auto& c : cases) {
        makeOperator(ann, c.level, c.groupID);
        log.clear();
        send(alpha, zoneclient::broadcast(1, "Hello"));
        EXPECT_EQ(broadcasts(beta), c.atBeta) << int(c.level);
        EXPECT_EQ(broadcasts(gamma), c.atGamma) << int(c.level);
        EXPECT_EQ(logged("1 - Broadcast Hello"), c.printed) << int(c.level);
    }
    // Not an operator at all: dropped silently.
    ann.op = nullptr;
    log.clear();
    send(alpha, zoneclient::broadcast(1, "Hello"));
    EXPECT_TRUE(broadcasts(beta).empty());
    EXPECT_EQ(log.text(), "");
    // An unknown PlayerID signs with the zone's name.
    send(alpha, zoneclient::broadcast(99, "Hi"));
    EXPECT_EQ(broadcasts(gamma), (std::vector<std::string>{"Hi [Alpha]"}));
    EXPECT_TRUE(logged("1 - Broadcast Hi"));
}

TEST_F(ChatBroadcastTest, LongBroadcastIsCutToTheBuffer) {
    PlayerSession& ann = *player(alpha, 1);
    makeOperator(ann, 2);
    send(alpha, zoneclient::broadcast(1, std::string(500, 'b')));
    auto raw = take(beta, 3);
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0].size(), 512u);
    EXPECT_EQ(raw[0].back(), 0);
}

TEST_F(ChatBroadcastTest, ChannelChatCrossesZones) {
    PlayerSession& ann = *player(alpha, 1);
    PlayerSession& abe = *player(alpha, 2);
    PlayerSession& bea = *player(beta, 1);
    PlayerSession& gus = *player(gamma, 1);
    ASSERT_NE(zones.joinChannel(ann, "Trade", 1, true), nullptr);
    zones.joinChannel(bea, "trade", 4, true);
    zones.joinChannel(abe, "TRADE", 2, true);
    zones.joinChannel(gus, "Trade", 9, true);
    zoneSession(*hostOf(gamma)).externalChat = false;
    for (SimZone* z : {&alpha, &beta, &gamma}) z->received.clear();

    send(alpha, zoneclient::chat(1, '1', "selling ore"));
    auto atAlpha = chatLines(alpha);
    ASSERT_EQ(atAlpha.size(), 1u) << "the sender never hears himself";
    EXPECT_EQ(atAlpha[0].playerId, 2u);
    EXPECT_EQ(atAlpha[0].slot, 2);
    EXPECT_EQ(atAlpha[0].text, "Ann> selling ore");
    auto atBeta = chatLines(beta);
    ASSERT_EQ(atBeta.size(), 1u);
    EXPECT_EQ(atBeta[0].slot, 4);
    EXPECT_TRUE(chatLines(gamma).empty()) << "external chat off";
    EXPECT_TRUE(logged("1 - Chat: (Trade)Ann>selling ore"));

    // A selector that is not a digit means slot 1; "0" and empty slots are ignored.
    send(alpha, zoneclient::chat(1, 'x', "again"));
    EXPECT_EQ(chatLines(beta).size(), 1u);
    send(alpha, zoneclient::chat(1, '0', "zero"));
    EXPECT_TRUE(logged("1 - Chat(IGNORED)Ann>zero"));
    send(alpha, zoneclient::chat(1, '5', "five"));
    EXPECT_TRUE(logged("1 - Chat(IGNORED)Ann>five"));
    send(alpha, zoneclient::chat(42, '1', "who"));
    EXPECT_TRUE(logged("1 - Chat(INVALID)"));
}

TEST_F(ChatBroadcastTest, JoinAndLeaveNotices) {
    PlayerSession& ann = *player(alpha, 1);
    PlayerSession& abe = *player(alpha, 2);
    PlayerSession& bea = *player(beta, 1);
    ann.NotifyChat = 1;
    bea.NotifyChat = 1;
    zones.joinChannel(ann, "Guild", 3, true);
    EXPECT_EQ(chatLines(alpha).at(0).text, "Ann created Guild");
    EXPECT_EQ(zones.joinChannel(ann, "GUILD", 5, true), nullptr) << "already a member";
    zones.joinChannel(abe, "Guild", 1, true);  // abe does not want notices
    zones.joinChannel(bea, "Guild", 2, true);
    auto atAlpha = chatLines(alpha);
    ASSERT_EQ(atAlpha.size(), 2u);
    EXPECT_EQ(atAlpha[0].text, "Abe entering Guild");
    EXPECT_EQ(atAlpha[0].slot, 3);
    EXPECT_EQ(atAlpha[1].text, "Bea entering Guild");
    EXPECT_EQ(chatLines(beta).size(), 0u) << "no 'created' for joining an existing channel";

    zones.leaveChannel(abe, 1, true);
    EXPECT_EQ(chatLines(beta).at(0).text, "Abe left Guild");
    zones.leaveAllChannels(ann, true);
    zones.leaveAllChannels(bea, false);
    EXPECT_EQ(zones.chatChannels().find("Guild"), nullptr) << "the last member takes the channel with him";
    EXPECT_EQ(ann.chatSlot(3), nullptr);
}

TEST_F(ChatBroadcastTest, ChatListShowsMembers) {
    zones.joinChannel(*player(alpha, 1), "Trade", 1, false);
    zones.joinChannel(*player(beta, 1), "Trade", 1, false);
    zones.joinChannel(*player(gamma, 1), "Quiet", 1, false);
    log.clear();
    printChatList(zones.chatChannels(), log);
    EXPECT_EQ(log.text(), "Chat list:\nTrade:Ann,Bea\nQuiet:Gus\n");
}

TEST_F(ChatBroadcastTest, PrivateMessagesAreOnlyLogged) {
    PlayerSession& ann = *player(alpha, 1);
    int32_t annID = ann.user->userID();
    int32_t beaID = database.findUser("Bea")->userID();
    send(alpha, zoneclient::privateMessage(annID, beaID, "psst"));
    EXPECT_TRUE(logged("1 - (Ann -> Bea)> psst"));
    send(alpha, zoneclient::privateMessage(annID, -1, "to nobody"));
    EXPECT_TRUE(logged("1 - (Ann)> to nobody"));
    log.clear();
    send(alpha, zoneclient::privateMessage(9999, beaID, "ghost"));
    EXPECT_EQ(log.text(), "");

    send(alpha, zoneclient::privateMessage(annID, beaID, "*monitor on"));
    EXPECT_TRUE(texts(alpha).empty()) << "an ordinary player gets nothing";
    makeOperator(ann, 4);
    send(alpha, zoneclient::privateMessage(annID, beaID, "*monitor on"));
    EXPECT_TRUE(texts(alpha).empty()) << "nor does a moderator";
    makeOperator(ann, 2);
    send(alpha, zoneclient::privateMessage(annID, beaID, "*monitor on"));
    EXPECT_EQ(texts(alpha), (std::vector<std::string>{"Bea: *monitor has not been implemented yet."}));
    EXPECT_EQ(take(beta, 9).size(), 0u);
}

TEST_F(ChatBroadcastTest, LogLinesAndBanners) {
    send(alpha, zoneclient::logLine("zone says hi"));
    EXPECT_TRUE(logged("1 - zone says hi"));
    std::array<uint8_t, 96> banner{};
    banner[0] = 0x11;
    banner[95] = 0x99;
    send(alpha, zoneclient::playerBanner(1, banner));
    EXPECT_TRUE(logged("1 - Got player banner: Ann"));
    EXPECT_EQ(database.findUser("Ann")->banner, banner);
    send(alpha, zoneclient::playerBanner(77, banner));
    EXPECT_TRUE(logged("1 - Got player banner(INVALID)"));
    // The banner comes back at the next entry.
    EXPECT_EQ(loginPlayer(beta, "Ann", "pw", 5)->banner, banner);
}

TEST_F(ChatBroadcastTest, PlayerTextsAreCutToTheBuffer) {
    PlayerSession& ann = *player(alpha, 1);
    zones.sendPlayerText(ann, std::string(600, 'z'));
    zones.sendChatLine(ann, 3, std::string(600, 'y'));
    auto text = take(alpha, 9);
    ASSERT_EQ(text.size(), 1u);
    EXPECT_EQ(text[0].size(), 512u);
    EXPECT_EQ(text[0].back(), 0);
    auto chat = take(alpha, 10);
    ASSERT_EQ(chat.size(), 1u);
    EXPECT_EQ(chat[0].size(), 512u);
    EXPECT_EQ(chat[0].back(), 0);
}

TEST_F(ChatBroadcastTest, KickNoticePlaces) {
    UserRecord* judge = database.createUser("Judge", "pw", {}, 50000, 0);
    PlayerSession& ann = *player(alpha, 1);
    const struct {
        int32_t groupID;
        int32_t scoreID;
        int32_t expires;
        const char* place;
        const char* date;
    } cases[] = {
        {0, 0, 1015459200, "our network", "3-07-2002"},
        {10, 1, 1037059200, "Alpha", "11-12-2002"},
        {10, 0, 1015459200, "group # 10", "3-07-2002"},
    };
    for (const auto& c : cases) {
        BanRecord* ban = database.createBan(*ann.user, judge, 1);
        ban->groupID = c.groupID;
        ban->scoreID = c.scoreID;
        ban->expires = c.expires;
        zones.kickPlayer(ann, 0, 3, ban->banID());
        EXPECT_EQ(texts(alpha), (std::vector<std::string>{std::string("You have been banned from ") + c.place +
                                                          " until " + c.date + ".  Ban # " +
                                                          std::to_string(ban->banID()) + " by Judge"}));
        auto kicks = take(alpha, 8);
        ASSERT_EQ(kicks.size(), 1u);
        EXPECT_EQ(zoneclient::parseKick(kicks[0])->reason, 3);
    }
    // A lifted ban: only the kick. BanID -1: no text either.
    BanRecord* lifted = database.createBan(*ann.user, nullptr, 1);
    int32_t liftedID = lifted->banID();
    database.removeBan(lifted);
    zones.kickPlayer(ann, 0, 0, liftedID);
    zones.kickPlayer(ann, 0, 0, -1);
    EXPECT_TRUE(texts(alpha).empty());
    EXPECT_EQ(take(alpha, 8).size(), 2u);
    // A ban without its operator's account says so.
    BanRecord* orphan = database.createBan(*ann.user, nullptr, 1);
    orphan->expires = 1015459200;
    zones.kickPlayer(ann, 0, 0, orphan->banID());
    EXPECT_EQ(texts(alpha).at(0), "You have been banned from our network until 3-07-2002.  Ban # " +
                                      std::to_string(orphan->banID()) + " by (UNKNOWN)");
}

TEST_F(ChatBroadcastTest, ShortMessagesAreDroppedUnread) {
    const struct {
        Bytes message;
        const char* line;
    } cases[] = {
        {Bytes{20, 1, 0, 0, 0, '1'}, "1 - Short packet(20)(6) dropped"},
        {Bytes{7, 0xFF, 0xFF, 0xFF, 0xFF}, "1 - Short packet(7)(5) dropped"},
        {Bytes{16, 1, 0, 0, 0, 1, 2}, "1 - Short packet(16)(7) dropped"},
        {Bytes{14, 1, 0, 0, 0}, "1 - Short packet(14)(5) dropped"},
        {Bytes{15, 1}, "1 - Short packet(15)(2) dropped"},
    };
    for (const auto& c : cases) {
        log.clear();
        send(alpha, c.message);
        EXPECT_EQ(log.lines().at(0), c.line);
    }
    // Texts without their NUL end at the message's end.
    Bytes unterminated{15, 0, 0, 0, 0, 'a', 'b'};
    log.clear();
    send(alpha, unterminated);
    EXPECT_EQ(log.lines().at(0), "1 - ab");
}
