#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_fixture.h"
#include "credentials/password_store.h"
#include "support/fake_whois_server.h"
#include "support/held_executor.h"
#include "zone/zone_session.h"

namespace tallysv::testing {
namespace {

// Work that takes time runs on the executor, held here until the test lets
// it go: Boss, an operator in Arena, asks for a provider's block while Bea
// in Bay and Cid in Coast chat on a channel across their zones.
class PendingWorkTest : public ThreeZoneTest {
protected:
    void SetUp() override {
        zones.setExecutor(held);
        loginThreeZones();
        boss = seat(*arena, "Boss", 1);
        victim = seat(*arena, "Victim", 2);
        bea = seat(*bay, "Bea", 1);
        cid = seat(*coast, "Cid", 1);
        makeOperator(*boss.session, 0);
        database.setUserAddress(*victim.session->user, {10, 1, 2, 3}, 424242);
        zones.joinChannel(*bea.session, "Trade", 1, false);
        zones.joinChannel(*cid.session, "Trade", 1, false);
    }

    // What Cid hears when Bea chats.
    std::vector<std::string> relayed(const std::string& text) {
        chatLines(*coast);
        send(*bay, zoneclient::chat(bea.playerID, '1', text));
        std::vector<std::string> out;
        for (const auto& line : chatLines(*coast)) out.push_back(line.text);
        return out;
    }

    HeldExecutor held;
    Seat boss{}, victim{}, bea{}, cid{};
};

TEST_F(PendingWorkTest, TheNetworkGoesOnWhileAWhoisServerSaysNothing) {
    FakeWhoisServer silent({}, true);
    settings.whoisServer = silent.server();
    settings.whoisTimeout = 200;

    EXPECT_EQ(type(boss, "?ban -! Victim"), Lines{"Please wait while downloading information for NetBlock..."});
    ASSERT_EQ(held.held(), 1u) << "the lookup waits on a worker, not on the receive thread";
    // Meanwhile the other zones are served, and so is the rest of Arena.
    EXPECT_EQ(relayed("anyone selling ore"), std::vector<std::string>{"Bea> anyone selling ore"});
    EXPECT_EQ(type(victim, "?squad"), Lines{"You have no squad"});
    // Boss's own next command waits for his ban to end.
    EXPECT_EQ(type(boss, "?listban"), Lines{});

    held.release();  // the lookup runs out its time
    EXPECT_EQ(texts(*arena), (Lines{"Unable to calculate NetBlock. Try your request again soon", "No bans"}));
    EXPECT_EQ(database.bans().count(), 0u);
    EXPECT_EQ(silent.queries(), std::vector<std::string>{"10.1.2.3"});
}

TEST_F(PendingWorkTest, TheBanIsMadeWhenTheBlockComesBack) {
    commands.services.lookupNetBlock = [](const IPv4Address&) {
        return std::optional<NetBlock>(NetBlock{{10, 1, 0, 0}, {10, 1, 255, 255}});
    };
    EXPECT_EQ(type(boss, "?ban -! Victim"), Lines{"Please wait while downloading information for NetBlock..."});
    EXPECT_EQ(database.bans().count(), 0u);
    held.release();
    // The victim, in the operator's zone, is told and kicked as by a ban
    // made at once.
    EXPECT_EQ(texts(*arena), (Lines{"You have been banned from Arena until 9-10-2001.  Ban # 1 by Boss",
                                    "Ban # 1 added zone-wide. Duration: 1 day(s)."}));
    EXPECT_EQ(take(*arena, 8).size(), 1u);
    ASSERT_EQ(database.bans().count(), 1u);
    const BanRecord* ban = database.bans().tail();
    EXPECT_EQ(ban->rangeStart, (IPv4Address{10, 1, 0, 0}));
    EXPECT_EQ(ban->rangeEnd, (IPv4Address{10, 1, 255, 255}));
    EXPECT_EQ(ban->bannedBy, boss.session->user);
}

TEST_F(PendingWorkTest, AFullQueueRefusesTheLookupAtOnce) {
    held.setBound(1);
    held.submit(0, [] {}, [] {});
    EXPECT_EQ(type(boss, "?ban -! Victim"), (Lines{"Please wait while downloading information for NetBlock...",
                                                 "Unable to calculate NetBlock. Try your request again soon"}));
    EXPECT_EQ(held.held(), 1u);
    // Nothing waits for Boss: his next command is answered at once.
    EXPECT_EQ(type(boss, "?listban"), Lines{"No bans"});
}

TEST_F(PendingWorkTest, ALookupOfAZoneThatWentIsDropped) {
    commands.services.lookupNetBlock = [](const IPv4Address&) {
        return std::optional<NetBlock>(NetBlock{{10, 1, 0, 0}, {10, 1, 255, 255}});
    };
    type(boss, "?ban -! Victim");
    send(*arena, zoneclient::command(boss.playerID, "?listban"));
    transport.disconnectHost(*hostOf(*arena));
    held.release();
    EXPECT_EQ(database.bans().count(), 0u);
    EXPECT_EQ(relayed("still here"), std::vector<std::string>{"Bea> still here"});
}

// With PasswordHashing on, the commands that check or set a password
// compute on the executor: Ann plays in Arena. No verifiers are kept, so
// every check is a hash.
class PasswordCommandTest : public CommandTest {
protected:
    void SetUp() override {
        usePasswordTestCost(true);
        clock.setTick(100000);
        arena = &loginZone(5, 3, "Arena");
        ann = seat(*arena, "Ann", 1);
        settings.passwordHashing = true;
        settings.passwordVerifierCache = false;
        zones.setExecutor(held);
    }
    void TearDown() override { usePasswordTestCost(false); }

    HeldExecutor held;
    SimZone* arena = nullptr;
    Seat ann{};
};

TEST_F(PasswordCommandTest, ACommandWaitsBehindThePendingLoginOfItsPlayer) {
    database.createOperator(ann.session->user, 0, 0, 0, "opsecret");
    EXPECT_EQ(type(ann, "?login opsecret"), Lines{});
    ASSERT_EQ(held.held(), 1u);
    // ?version needs the operator login: it runs after it, not before.
    EXPECT_EQ(type(ann, "?version"), Lines{});
    held.release();
    Lines lines = texts(*arena);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Successfully logged on as Network-wide level 0");
    EXPECT_EQ(lines[1], "Tallysv pre-release. Build 11");
    EXPECT_EQ(held.held(), 0u);
}

TEST_F(PasswordCommandTest, AFullQueueAnswersBusyAndRunsNothing) {
    held.setBound(1);
    held.submit(0, [] {}, [] {});
    EXPECT_EQ(type(ann, "?password=newsecret"), Lines{"Server busy. Try your request again soon"});
    EXPECT_FALSE(isHashedPassword(ann.session->user->password));
    // Nothing waits for Ann.
    EXPECT_EQ(type(ann, "?squad"), Lines{"You have no squad"});
}

TEST_F(PasswordCommandTest, SettersStoreTheHashMadeOnTheWorkers) {
    const PasswordField before = ann.session->user->password;
    EXPECT_EQ(type(ann, "?password=newsecret"), Lines{});
    EXPECT_EQ(ann.session->user->password, before);
    held.release();
    EXPECT_EQ(texts(*arena), Lines{"Password changed"});
    EXPECT_TRUE(isHashedPassword(ann.session->user->password));
    EXPECT_TRUE(checkPassword(ann.session->user->password, "newsecret", true).matches);

    EXPECT_EQ(type(ann, "?squadcreate=Ore:sqpw"), Lines{});
    held.release();
    EXPECT_EQ(texts(*arena), Lines{"Squad successfully created and joined. Exit zone for it to take effect"});
    ASSERT_NE(database.findSquad("Ore"), nullptr);
    EXPECT_TRUE(checkPassword(database.findSquad("Ore")->password, "sqpw", true).matches);
}

TEST_F(PasswordCommandTest, ASquadPasswordChangedMeanwhileIsCheckedAgain) {
    settings.passwordHashing = false;
    SquadRecord* squad = database.createSquad("Ore", "old", nullptr);
    settings.passwordHashing = true;
    EXPECT_EQ(type(ann, "?squadjoin=Ore:old"), Lines{});
    ASSERT_EQ(held.held(), 1u);
    // The owner sets a new password before Ann's check comes back.
    squad->password = makePasswordField("new", true);
    held.release();
    EXPECT_EQ(texts(*arena), Lines{}) << "checked again, against the new field";
    ASSERT_EQ(held.held(), 1u);
    held.release();
    EXPECT_EQ(texts(*arena), Lines{"Invalid password for specified squad"});
    EXPECT_EQ(ann.session->user->squad, nullptr);
}

}  // namespace
}  // namespace tallysv::testing
