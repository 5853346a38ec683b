#include "zone_fixture.h"

#include "core/fields.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

class ZoneLoginTest : public ZoneTest {};

Bytes loginOfLength(size_t length) {
    Bytes login = zoneclient::zoneLogin(1, 7, "Zone", "");
    login.resize(length, 0);
    return login;
}

}  // namespace

TEST_F(ZoneLoginTest, MalformedLoginsArePunted) {
    const struct {
        Bytes login;
        const char* what;
    } cases[] = {
        {loginOfLength(172), "172 bytes"},
        {loginOfLength(174), "174 bytes"},
        {zoneclient::zoneLogin(0, 7, "Zone", ""), "GroupID 0"},
        {zoneclient::zoneLogin(1, -7, "Zone", ""), "negative ScoreID"},
        {zoneclient::zoneLogin(1, 7, "Zone", "", 0), "value at offset 1 is 0"},
    };
    uint8_t n = 1;
    for (const auto& c : cases) {
        SimZone& zone = connect({10, 9, 9, n++});
        log.clear();
        send(zone, c.login);
        EXPECT_EQ(log.lines().at(0), "Invalid login from 10.9.9." + std::to_string(n - 1) + "  Punt!") << c.what;
        EXPECT_FALSE(loggedIn(zone)) << c.what;
        EXPECT_TRUE(zone.link->disconnectedByServer()) << c.what;
    }
}

TEST_F(ZoneLoginTest, PasswordRules) {
    database.createZone(20, 2, "first");
    database.createZone(20, 2, "second");  // only the first record of a ScoreID counts
    settings.billingPassword = scrambledPassword("network key");
    const struct {
        int32_t scoreID;
        const char* password;
        bool allowed;
    } cases[] = {
        {20, "first", true},        {20, "second", false},     {20, "First", false},
        {99, "network key", true},  {20, "network key", true}, {99, "", false},
    };
    uint8_t n = 1;
    for (const auto& c : cases) {
        SimZone& zone = connect({10, 8, 8, n++});
        log.clear();
        send(zone, zoneclient::zoneLogin(2, c.scoreID, "Arena", c.password));
        EXPECT_EQ(loggedIn(zone), c.allowed) << c.scoreID << " " << c.password;
        if (c.allowed) {
            EXPECT_TRUE(hostOf(zone)->loggedIn());
            EXPECT_TRUE(logged(std::to_string(c.scoreID) + " - Docking granted: Arena"));
            zoneSession(*hostOf(zone)).scoreId = 1000 + n;  // keep the next case from replacing it
        } else {
            EXPECT_TRUE(logged(std::to_string(c.scoreID) + " - Disallowed connection (Bad Password): Arena"));
        }
    }
}

TEST_F(ZoneLoginTest, EmptyBillingPasswordOpensEveryScoreID) {
    SimZone& zone = loginZone(12345, 3, "Anything");
    ASSERT_NE(hostOf(zone), nullptr);
    EXPECT_EQ(zoneOf(*hostOf(zone)).scoreId, 12345);
    EXPECT_EQ(zoneOf(*hostOf(zone)).groupId, 3);
}

TEST_F(ZoneLoginTest, LongNameIsPrintedWholeAndKeptAs24Bytes) {
    const std::string name = "A Zone Name Far Longer Than Twenty-Four";
    SimZone& zone = loginZone(5, 1, name);
    EXPECT_TRUE(logged("5 - Docking granted: " + name));
    EXPECT_EQ(zoneOf(*hostOf(zone)).zoneNameText(), name.substr(0, 24));
}

TEST_F(ZoneLoginTest, SameScoreIDReplacesTheFirstSession) {
    SimZone& first = loginZone(7);
    SimZone& second = loginZone(7);
    EXPECT_TRUE(logged("7 - Connection broken: Same ScoreID requested session"));
    EXPECT_FALSE(loggedIn(first));
    EXPECT_TRUE(first.link->disconnectedByServer());
    ASSERT_NE(hostOf(second), nullptr);
    EXPECT_TRUE(hostOf(second)->loggedIn());
}

TEST_F(ZoneLoginTest, FourthAttemptFromOneAddressIsAFlood) {
    for (int attempt = 1; attempt <= 6; ++attempt) {
        SimZone& zone = connect({10, 7, 7, 7}, static_cast<uint16_t>(6000 + attempt));
        log.clear();
        send(zone, zoneclient::zoneLogin(1, 40 + attempt, "Zone", ""));
        bool in = loggedIn(zone);
        if (attempt <= 3) {
            EXPECT_TRUE(in) << attempt;
        } else if (attempt <= 5) {
            EXPECT_FALSE(in) << attempt;
            EXPECT_TRUE(logged("Zone connection flood from 10.7.7.7:" + std::to_string(6000 + attempt) + "  Punt!"))
                << attempt;
        } else {
            EXPECT_FALSE(in) << attempt;
            EXPECT_TRUE(log.lines().empty()) << "a heavy flood is dropped silently: " << log.text();
        }
    }
    // After two decays the address is welcome again.
    advance(91000);
    SimZone& later = connect({10, 7, 7, 7}, 6100);
    send(later, zoneclient::zoneLogin(1, 60, "Zone", ""));
    EXPECT_TRUE(loggedIn(later));
}

TEST_F(ZoneLoginTest, HandlerTableAfterLogin) {
    // The zone protocol on its own, without the command processor that the
    // server installs on it.
    zones.setCommandHandler(nullptr);
    SimZone& zone = loginZone(9);
    log.clear();
    send(zone, zoneclient::zoneLogin(1, 9, "Again", ""));
    EXPECT_EQ(log.lines().at(0), "9 - Unhandled packet(2)(173)");
    log.clear();
    send(zone, Bytes{1, 0, 0});
    send(zone, Bytes{3, 0, 0});
    EXPECT_EQ(log.text(), "");
    // Commands are the command processor's.
    send(zone, zoneclient::command(1, "?help"));
    EXPECT_EQ(log.lines().at(0), "9 - Unhandled packet(19)(11)");
    // A repeated handshake on a logged-in session changes nothing.
    int32_t key = hostOf(zone)->sessionKey();
    zone.toServer.push_back(zoneclient::connectionRequest(777));
    pump();
    EXPECT_EQ(hostOf(zone)->sessionKey(), key);
}

TEST_F(ZoneLoginTest, LoggedInZonesAreNeverIdleTimedOut) {
    SimZone& idle = connect({10, 6, 6, 1});
    SimZone& zone = loginZone(11);
    clock.advance(61000);
    core.maintain();
    EXPECT_EQ(hostOf(idle), nullptr);
    EXPECT_NE(hostOf(zone), nullptr);
}

TEST_F(ZoneLoginTest, OperatorsHearOfZonesInTheirSector) {
    SimZone& home = loginZone(1, 5);
    ASSERT_TRUE(loginPlayer(home, "NetAdmin", "pw", 1));
    ASSERT_TRUE(loginPlayer(home, "GroupFive", "pw", 2));
    ASSERT_TRUE(loginPlayer(home, "GroupSix", "pw", 3));
    ASSERT_TRUE(loginPlayer(home, "Moderator", "pw", 4));
    ASSERT_TRUE(loginPlayer(home, "Deaf", "pw", 5));
    makeOperator(*player(home, 1), 0);
    makeOperator(*player(home, 2), 2, 5);
    makeOperator(*player(home, 3), 1, 6);
    makeOperator(*player(home, 4), 3);
    makeOperator(*player(home, 5), 0);
    for (uint32_t id = 1; id <= 4; ++id) player(home, id)->NotifyZone = 1;

    loginZone(77, 5, "Newcomer");
    std::vector<uint32_t> told;
    for (const auto& line : chatLines(home)) {
        EXPECT_EQ(line.slot, 0);
        EXPECT_EQ(line.text, "Newcomer(77) - Zone connected.");
        told.push_back(line.playerId);
    }
    EXPECT_EQ(told, (std::vector<uint32_t>{1, 2}));
}

TEST_F(ZoneLoginTest, SessionEndTellsOperatorsAndEmptiesChannels) {
    SimZone& home = loginZone(1, 5);
    SimZone& leaving = loginZone(2, 6, "Leaving");
    ASSERT_TRUE(loginPlayer(home, "Watcher", "pw", 1));
    ASSERT_TRUE(loginPlayer(home, "Other", "pw", 2));
    ASSERT_TRUE(loginPlayer(leaving, "Gone", "pw", 3));
    PlayerSession& watcher = *player(home, 1);
    makeOperator(watcher, 2, 5);  // group 5: its own zone is in the sector, the leaving one is not
    watcher.NotifyZone = 1;
    PlayerSession& other = *player(home, 2);
    other.NotifyChat = 1;
    PlayerSession& gone = *player(leaving, 3);
    OperatorRecord* goneOp = makeOperator(gone, 4);
    zones.joinChannel(other, "Lobby", 2, false);
    zones.joinChannel(gone, "Lobby", 1, false);
    zones.joinChannel(gone, "Private", 4, false);
    chatLines(home);

    send(leaving, zoneclient::disconnectNotice());
    EXPECT_FALSE(loggedIn(leaving));
    EXPECT_EQ(goneOp->sessionCount, 0);
    auto lines = chatLines(home);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].playerId, 1u);
    EXPECT_EQ(lines[0].text, "Leaving(2) - Disconnected.");
    EXPECT_EQ(lines[1].playerId, 2u);
    EXPECT_EQ(lines[1].slot, 2);
    EXPECT_EQ(lines[1].text, "Gone left Lobby");
    EXPECT_EQ(zones.chatChannels().find("Private"), nullptr);
    ASSERT_NE(zones.chatChannels().find("Lobby"), nullptr);
    EXPECT_EQ(zones.chatChannels().find("Lobby")->members().size(), 1u);
}
