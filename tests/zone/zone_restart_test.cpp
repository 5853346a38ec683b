#include "zone_fixture.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

// A zone logged in on a fixed address and port with a player in it, and an
// operator in another zone who is told of zones coming and going.
class ZoneRestartTest : public ZoneTest {
protected:
    ZoneRestartTest() {
        settings.usageFromSessions = true;
        settings.kickOutDelay = 60000;
        database.createZone(1, 1, "zonepw");
        watching = &loginZone(2, 1, "Watching");
        EXPECT_TRUE(loginPlayer(*watching, "Watcher", "pw", 1));
        makeOperator(*player(*watching, 1), 0);
        player(*watching, 1)->NotifyZone = 1;
        fixed = &connect({10, 7, 7, 7}, 7000);
        send(*fixed, zoneclient::zoneLogin(1, 1, "Fixed", "zonepw"));
        EXPECT_TRUE(loggedIn(*fixed));
        EXPECT_TRUE(loginPlayer(*fixed, "Inside", "pw", 5));
        oldHost = hostOf(*fixed);
        chatLines(*watching);
        advance(10000);
        log.clear();
    }

    // The zone's process again on the same address and port.
    SimZone& restart() {
        fixed->down = true;
        return connect(fixed->peer.address, fixed->peer.port);
    }
    int32_t usageOfInside() { return database.findUser("Inside")->Usage; }
    std::vector<std::string> watcherLines() {
        std::vector<std::string> out;
        for (const auto& line : chatLines(*watching)) out.push_back(line.text);
        return out;
    }

    SimZone* watching = nullptr;
    SimZone* fixed = nullptr;
    Host* oldHost = nullptr;
};

TEST_F(ZoneRestartTest, ARestartOnTheSamePortTakesOverTheSessionAtItsLogin) {
    SimZone& again = restart();
    // Until the new session has logged in, the old one is the zone.
    EXPECT_EQ(hostOf(again), oldHost);
    EXPECT_EQ(sessionOf(again).players().size(), 1u);
    EXPECT_EQ(usageOfInside(), 0);
    send(again, zoneclient::zoneLogin(1, 1, "Fixed", "zonepw"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Connection request from 10.7.7.7:7000",
                                                     "1 - Connection broken: Zone restarted at 10.7.7.7:7000",
                                                     "1 - Docking granted: Fixed"}));
    ASSERT_TRUE(loggedIn(again));
    EXPECT_NE(hostOf(again), oldHost);
    EXPECT_EQ(transport.hosts().size(), 2u);
    // The old session ended as a lost zone's does.
    EXPECT_TRUE(sessionOf(again).players().empty());
    EXPECT_EQ(usageOfInside(), 10);
    EXPECT_EQ(watcherLines(), (std::vector<std::string>{"Fixed(1) - Disconnected.", "Fixed(1) - Zone connected."}));
    EXPECT_FALSE(again.link->disconnectedByServer());
    // The new session works: a player logs in through it.
    EXPECT_TRUE(loginPlayer(again, "Inside", "pw", 9));
    EXPECT_NE(player(again, 9), nullptr);
}

// Someone sends a connection request in the zone's name (the replies go to
// the real zone, which takes no notice of a key response it did not ask
// for) and never logs in.
TEST_F(ZoneRestartTest, AForgedRequestChangesNothing) {
    SimZone& forger = connect(fixed->peer.address, fixed->peer.port);
    forger.down = true;
    EXPECT_EQ(hostOf(*fixed), oldHost);
    // The real zone carries on meanwhile.
    EXPECT_TRUE(loginPlayer(*fixed, "Second", "pw", 6));
    advance(60000);
    EXPECT_EQ(log.lines().back(), "1 - Session kept: new connection from 10.7.7.7:7000 did not log in");
    EXPECT_EQ(hostOf(*fixed), oldHost);
    EXPECT_EQ(transport.hosts().size(), 2u);
    EXPECT_EQ(sessionOf(*fixed).players().size(), 2u);
    EXPECT_FALSE(fixed->link->disconnectedByServer());
    EXPECT_TRUE(watcherLines().empty());
    EXPECT_EQ(usageOfInside(), 0);
    EXPECT_TRUE(loginPlayer(*fixed, "Third", "pw", 7));
}

TEST_F(ZoneRestartTest, ARestartWithTheWrongPasswordLeavesTheOldSession) {
    SimZone& again = restart();
    send(again, zoneclient::zoneLogin(1, 1, "Fixed", "guess"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Connection request from 10.7.7.7:7000",
                               "1 - Session kept: new connection from 10.7.7.7:7000 did not log in",
                               "1 - Disallowed connection (Bad Password): Fixed",
                           }));
    EXPECT_EQ(hostOf(again), oldHost);
    EXPECT_EQ(transport.hosts().size(), 2u);
    EXPECT_EQ(sessionOf(again).players().size(), 1u);
    EXPECT_EQ(usageOfInside(), 0);
    EXPECT_EQ(watcherLines(), std::vector<std::string>{"Fixed(1) - Disallowed connection (Bad password)."});
    // Then with the right one it is let in.
    again.down = true;
    SimZone& third = connect(fixed->peer.address, fixed->peer.port);
    send(third, zoneclient::zoneLogin(1, 1, "Fixed", "zonepw"));
    EXPECT_TRUE(loggedIn(third));
    EXPECT_EQ(usageOfInside(), 10);
}

}  // namespace
