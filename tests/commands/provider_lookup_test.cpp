#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_fixture.h"
#include "credentials/password_store.h"
#include "support/fake_whois_server.h"
#include "support/held_executor.h"

namespace tallysv::testing {

namespace {

// Whois lookups and password work on executors of their own, each held
// until the test lets it go: Boss, an operator in Arena, bans the
// providers of Victim and Victor while players log in with hashed
// passwords.
class LookupWorkersTest : public ThreeZoneTest {
protected:
    void SetUp() override {
        usePasswordTestCost(true);
        loginThreeZones();
        boss = seat(*arena, "Boss", 1);
        victim = seat(*arena, "Victim", 2);
        victor = seat(*arena, "Victor", 4);
        makeOperator(*boss.session, 0);
        database.setUserAddress(*victim.session->user, {10, 1, 2, 3}, 424242);
        database.setUserAddress(*victor.session->user, {10, 1, 2, 9}, 434343);
        settings.passwordHashing = true;
        // setExecutor sets both; the lookups get their own after it.
        zones.setExecutor(passwordWorkers);
        zones.setLookupExecutor(lookupWorkers);
    }
    void TearDown() override { usePasswordTestCost(false); }

    // Sends a new player's login; the replies that came back at once.
    std::vector<zoneclient::PlayerLoginReply> sendNewcomerLogin(SimZone& zone, const std::string& name,
                                                                uint32_t playerID) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = "newcomer-pw";
        login.playerId = playerID;
        login.address = nextPlayerAddress();
        send(zone, zoneclient::playerLogin(login));
        return newcomerReplies(zone);
    }
    std::vector<zoneclient::PlayerLoginReply> newcomerReplies(SimZone& zone) {
        std::vector<zoneclient::PlayerLoginReply> out;
        for (const Bytes& m : take(zone, 1)) out.push_back(*zoneclient::parsePlayerLoginReply(m));
        return out;
    }

    HeldExecutor passwordWorkers;
    HeldExecutor lookupWorkers;
    Seat boss{}, victim{}, victor{};
};

TEST_F(LookupWorkersTest, AHeldLookupNeverStandsInFrontOfALogin) {
    FakeWhoisServer registry({"NetRange: 10.1.0.0 - 10.1.255.255\n"});
    settings.whoisServer = registry.server();

    EXPECT_EQ(type(boss, "?ban -! Victim"), Lines{"Please wait while downloading information for NetBlock..."});
    ASSERT_EQ(lookupWorkers.held(), 1u) << "the lookup waits on the lookup workers";
    EXPECT_EQ(passwordWorkers.held(), 0u);

    // Logins in the operator's zone and in another have their passwords
    // hashed on the password workers, and are answered while the lookup
    // still waits.
    EXPECT_TRUE(sendNewcomerLogin(*arena, "Dee", 3).empty());
    EXPECT_TRUE(sendNewcomerLogin(*bay, "Eve", 1).empty());
    ASSERT_EQ(passwordWorkers.held(), 2u);
    EXPECT_EQ(lookupWorkers.held(), 1u);
    passwordWorkers.releaseAll();
    for (SimZone* zone : {arena, bay}) {
        auto answer = newcomerReplies(*zone);
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_EQ(answer[0].result, 6);
    }
    for (const char* name : {"Dee", "Eve"}) {
        ASSERT_NE(database.findUser(name), nullptr) << name;
        EXPECT_TRUE(isHashedPassword(database.findUser(name)->password)) << name;
    }
    EXPECT_EQ(lookupWorkers.held(), 1u);
    EXPECT_EQ(database.bans().count(), 0u);

    // The lookup, let go, asks the whois server and the ban is made.
    lookupWorkers.release();
    EXPECT_EQ(registry.queries(), std::vector<std::string>{"10.1.2.3"});
    ASSERT_EQ(database.bans().count(), 1u);
    EXPECT_EQ(database.bans().tail()->rangeStart, (IPv4Address{10, 1, 0, 0}));
    EXPECT_EQ(database.bans().tail()->rangeEnd, (IPv4Address{10, 1, 255, 255}));
    EXPECT_EQ(passwordWorkers.submitted(), 2u) << "only the two logins went to the password workers";
    EXPECT_EQ(lookupWorkers.submitted(), 1u);
}

TEST_F(LookupWorkersTest, ReferralsGoWhereWhoisAllowedServersSays) {
    FakeWhoisServer provider({"NetRange: 10.1.2.0 - 10.1.2.255\n"});
    FakeWhoisServer registry({"NetRange: 10.1.0.0 - 10.1.255.255\nrefer: " + provider.server() + "\n"});
    settings.whoisServer = registry.server();

    // The provider's server is on loopback: not followed, the registry's
    // block is the ban's.
    type(boss, "?ban -! Victim");
    lookupWorkers.release();
    EXPECT_TRUE(logged("Whois referral refused (" + provider.server() + ")"));
    EXPECT_TRUE(provider.queries().empty());
    ASSERT_EQ(database.bans().count(), 1u);
    EXPECT_EQ(database.bans().tail()->rangeStart, (IPv4Address{10, 1, 0, 0}));
    EXPECT_EQ(database.bans().tail()->rangeEnd, (IPv4Address{10, 1, 255, 255}));

    // Named in the setting, it is asked, and its smaller block is banned.
    settings.whoisAllowedServers = "whois.example.net, " + provider.server();
    type(boss, "?ban -! Victor");
    lookupWorkers.release();
    EXPECT_EQ(provider.queries(), std::vector<std::string>{"10.1.2.9"});
    ASSERT_EQ(database.bans().count(), 2u);
    EXPECT_EQ(database.bans().tail()->rangeStart, (IPv4Address{10, 1, 2, 0}));
    EXPECT_EQ(database.bans().tail()->rangeEnd, (IPv4Address{10, 1, 2, 255}));
}

}  // namespace
}  // namespace tallysv::testing
