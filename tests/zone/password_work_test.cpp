#include <algorithm>
#include <gtest/gtest.h>

#include "credentials/password_store.h"
#include "support/held_executor.h"
#include "zone/zone_session.h"
#include "zone_fixture.h"

namespace tallysv::testing {
namespace {

// Hashed passwords with the executor held: a login waits for its password
// work until the test releases it, as it waits for a worker in the server.
// No verifiers are kept (but where a test turns them on), so every check
// is a hash.
class PasswordWorkTest : public ZoneTest {
protected:
    void SetUp() override {
        usePasswordTestCost(true);
        settings.passwordHashing = true;
        settings.passwordVerifierCache = false;
        zones.setExecutor(held);
        clock.setTick(100000);
    }
    void TearDown() override { usePasswordTestCost(false); }

    // Sends a login and returns the replies that came back at once.
    std::vector<zoneclient::PlayerLoginReply> sendLogin(SimZone& zone, const std::string& name,
                                                        const std::string& password, uint32_t playerID,
                                                        IPv4Address address) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = playerID;
        login.address = address;
        send(zone, zoneclient::playerLogin(login));
        return replies(zone);
    }
    std::vector<zoneclient::PlayerLoginReply> replies(SimZone& zone) {
        std::vector<zoneclient::PlayerLoginReply> out;
        for (const Bytes& m : take(zone, 1)) out.push_back(*zoneclient::parsePlayerLoginReply(m));
        return out;
    }

    HeldExecutor held;
};

TEST_F(PasswordWorkTest, ALoginWaitsForItsHashOffTheReceiveThread) {
    SimZone& zone = loginZone(1);
    EXPECT_TRUE(sendLogin(zone, "Ann", "secret", 7, {1, 2, 3, 4}).empty());
    EXPECT_EQ(held.held(), 1u);
    EXPECT_EQ(database.findUser("Ann"), nullptr) << "the account is made once its field is";
    held.release();
    auto answer = replies(zone);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].result, 6);
    UserRecord* ann = database.findUser("Ann");
    ASSERT_NE(ann, nullptr);
    EXPECT_TRUE(isHashedPassword(ann->password));
    EXPECT_TRUE(logged("1 - New player entering: Ann"));

    // Returning: the check is a hash again, on the executor.
    send(zone, zoneclient::playerLeaving(7, 0, std::nullopt));
    EXPECT_TRUE(sendLogin(zone, "Ann", "wrong", 8, {1, 2, 3, 5}).empty());
    held.release();
    answer = replies(zone);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].result, 2);
    EXPECT_TRUE(sendLogin(zone, "Ann", "secret", 9, {1, 2, 3, 6}).empty());
    held.release();
    answer = replies(zone);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].result, 6);
}

TEST_F(PasswordWorkTest, WithoutHashingNothingWaits) {
    settings.passwordHashing = false;
    SimZone& zone = loginZone(1);
    ASSERT_TRUE(loginPlayer(zone, "Ann", "secret", 1).has_value());
    send(zone, zoneclient::playerLeaving(1, 0, std::nullopt));
    auto again = loginPlayer(zone, "Ann", "secret", 2);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->result, 6);
    EXPECT_EQ(held.submitted(), 0u);
}

TEST_F(PasswordWorkTest, AFullQueueAnswersBusyAfterTheFloodTable) {
    SimZone& zone = loginZone(1);
    held.setBound(3);
    const IPv4Address flooder{9, 9, 9, 9};
    for (uint32_t id = 1; id <= 3; ++id) EXPECT_TRUE(sendLogin(zone, "P" + std::to_string(id), "x", id, flooder).empty());
    EXPECT_EQ(held.held(), 3u);
    // The fourth attempt of the address is a flood, refused by the flood
    // table before it could ask for a worker.
    auto answer = sendLogin(zone, "P4", "x", 4, flooder);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].result, 7);
    EXPECT_TRUE(logged("1 - Player connection refused(Light flood): P4"));
    EXPECT_EQ(held.refused(), 0u);
    // Another address finds the queue full: busy at once, nothing queued.
    answer = sendLogin(zone, "P5", "x", 5, {8, 8, 8, 8});
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].result, 7);
    EXPECT_TRUE(logged("1 - Player connection refused(Busy): P5"));
    EXPECT_EQ(held.held(), 3u);
    EXPECT_EQ(held.refused(), 1u);
    held.releaseAll();
    EXPECT_EQ(replies(zone).size(), 3u);
    EXPECT_EQ(database.findUser("P5"), nullptr);
}

TEST_F(PasswordWorkTest, AZoneThatDropsWhileItsPlayersAreCheckedLeavesNothingBehind) {
    SimZone& doomed = loginZone(1);
    SimZone& other = loginZone(2);
    sendLogin(doomed, "Ann", "a", 1, {1, 1, 1, 1});
    sendLogin(doomed, "Bob", "b", 2, {1, 1, 1, 2});
    sendLogin(other, "Cid", "c", 1, {1, 1, 1, 3});
    // Messages of Ann's wait behind her login, and go with the zone.
    send(doomed, zoneclient::playerLeaving(1, 0, std::nullopt));
    ASSERT_EQ(held.held(), 3u);
    transport.disconnectHost(*hostOf(doomed));
    held.releaseAll();
    EXPECT_EQ(database.findUser("Ann"), nullptr);
    EXPECT_EQ(database.findUser("Bob"), nullptr);
    EXPECT_NE(database.findUser("Cid"), nullptr);
    auto answer = replies(other);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].result, 6);
    EXPECT_NE(player(other, 1), nullptr);
}

TEST_F(PasswordWorkTest, MessagesOfAPlayerWaitBehindHisLogin) {
    SimZone& zone = loginZone(1);
    sendLogin(zone, "Ann", "a", 1, {1, 1, 1, 1});
    // The zone's leaving for the player comes before his login is answered.
    send(zone, zoneclient::playerLeaving(1, 0, std::nullopt));
    EXPECT_FALSE(logged("1 - Player leaving(INVALID)"));
    held.release();
    EXPECT_EQ(replies(zone).size(), 1u);
    EXPECT_EQ(player(zone, 1), nullptr) << "entered, then left, in that order";
    EXPECT_FALSE(logged("1 - Player leaving(INVALID)"));
    EXPECT_TRUE(logged("1 - New player entering: Ann"));
}

// The login goes on from its request when its hash is in: it is counted,
// answered and entered once, and what the player sent meanwhile follows it.
TEST_F(PasswordWorkTest, AWaitingLoginGoesOnOnceAndHisLaterMessagesFollowIt) {
    SimZone& zone = loginZone(1);
    EXPECT_TRUE(sendLogin(zone, "Ann", "a", 1, {1, 1, 1, 1}).empty());
    send(zone, zoneclient::scoreReport(1, 5, 6, 7, 8));
    send(zone, zoneclient::playerLeaving(1, 0, std::nullopt));
    ASSERT_EQ(held.held(), 1u);
    log.clear();
    held.release();
    EXPECT_EQ(held.held(), 0u) << "it does not wait a second time";
    ASSERT_EQ(replies(zone).size(), 1u);
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "1 - New player entering: Ann");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "1 - New player entering: Ann"), 1);
    EXPECT_EQ(zones.counters().playerLogins[static_cast<size_t>(PlayerLoginOutcome::Created)], 1u);
    EXPECT_EQ(player(zone, 1), nullptr) << "entered, then left, in that order";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "1 - Player leaving(INVALID)"), 0);
}

TEST_F(PasswordWorkTest, AScrambledPasswordIsRehashedOnceThroughTheWorkers) {
    settings.passwordHashing = false;
    SimZone& one = loginZone(1);
    SimZone& two = loginZone(2);
    ASSERT_TRUE(loginPlayer(one, "Ann", "secret", 1).has_value());
    send(one, zoneclient::playerLeaving(1, 0, std::nullopt));
    UserRecord* ann = database.findUser("Ann");
    ASSERT_FALSE(isHashedPassword(ann->password));
    settings.passwordHashing = true;

    // A wrong password never rehashes.
    sendLogin(one, "Ann", "wrong", 2, {1, 1, 1, 2});
    held.release();
    EXPECT_EQ(replies(one)[0].result, 2);
    EXPECT_FALSE(isHashedPassword(ann->password));

    // Two logins of the account at once: both check the scrambled field.
    sendLogin(one, "Ann", "secret", 3, {1, 1, 1, 3});
    sendLogin(two, "Ann", "secret", 1, {1, 1, 1, 4});
    ASSERT_EQ(held.held(), 2u);
    held.release();
    EXPECT_EQ(replies(one)[0].result, 6);
    ASSERT_TRUE(isHashedPassword(ann->password));
    const PasswordField hashed = ann->password;
    // The second finds the field changed: it checks again against the hash,
    // and does not replace it.
    held.release();
    EXPECT_TRUE(replies(two).empty());
    ASSERT_EQ(held.held(), 1u);
    held.release();
    auto answer = replies(two);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].result, 6);
    EXPECT_EQ(ann->password, hashed);
    EXPECT_EQ(held.submitted(), 4u);
}

TEST_F(PasswordWorkTest, AZoneLoginWithAHashedPasswordWaitsForIt) {
    database.createZone(4, 1, "zonepw");
    ASSERT_TRUE(isHashedPassword(database.findZone(4)->password));
    SimZone& zone = connect({10, 0, 0, 9}, 5009);
    send(zone, zoneclient::zoneLogin(1, 4, "Hashed", "zonepw"));
    EXPECT_FALSE(loggedIn(zone));
    ASSERT_EQ(held.held(), 1u);
    held.release();
    EXPECT_TRUE(loggedIn(zone));
    EXPECT_TRUE(logged("4 - Docking granted: Hashed"));

    SimZone& wrong = connect({10, 0, 0, 10}, 5010);
    send(wrong, zoneclient::zoneLogin(1, 4, "Intruder", "guess"));
    held.release();
    EXPECT_FALSE(loggedIn(wrong));
    EXPECT_TRUE(logged("4 - Disallowed connection (Bad Password): Intruder"));
    EXPECT_TRUE(loggedIn(zone));
}

}  // namespace
}  // namespace tallysv::testing
