#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "commands/command_fixture.h"
#include "control/control_commands.h"
#include "zone/zone_session.h"

namespace tallysv::testing {
namespace {

// Two zones of group 3 (Arena 5, Bay 6) and one of group 4 (Coast 9), with
// Victim playing in Bay and Watcher, an operator with ban notices on, in
// Arena; requests come through the control socket's command runner.
class ControlCommandsTest : public ThreeZoneTest {
protected:
    void SetUp() override {
        loginThreeZones();
        watcher = seat(*arena, "Watcher", 1);
        victim = seat(*bay, "Victim", 1);
        makeOperator(*watcher.session, 1, 3);
        for (SimZone* zone : {arena, bay, coast}) take(*zone, 9), take(*zone, 10);
    }

    ControlAnswer request(ControlVerb verb, const std::string& argument = "", int32_t entry = 0, bool json = false) {
        ControlRequest r;
        r.verb = verb;
        r.argument = argument;
        r.operatorEntry = entry;
        r.json = json;
        ControlAnswer answer = control.run(r, ControlCaller{1000, 4242});
        pump();
        return answer;
    }
    ControlAnswer run(const std::string& text, int32_t entry = 0) { return request(ControlVerb::Run, text, entry); }

    // Every message any zone received since the last look.
    size_t zoneTraffic() {
        size_t n = 0;
        for (SimZone* zone : {arena, bay, coast}) {
            pump();
            n += zone->received.size();
            zone->received.clear();
        }
        return n;
    }

    Mutex lock;
    ControlCommands control{lock, zones, commands, log, {}};
    Seat watcher{};
    Seat victim{};
};

TEST_F(ControlCommandsTest, RepliesComeBackInsteadOfGoingToAZone) {
    ControlAnswer answer = run("?version");
    EXPECT_EQ(answer.status, kControlOk);
    EXPECT_EQ(answer.lines, (Lines{"Tallysv pre-release. Build 11",
                                   "Core provided by Marlo. With thanks to Quince Emulator & Brackwater & RQT"}));
    EXPECT_EQ(zoneTraffic(), 0u);
    EXPECT_TRUE(logged("Control(uid 1000 pid 4242)>?version"));

    // Text that matches nothing: status 1 and no reply, as in a zone.
    answer = run("?nosuchcommand");
    EXPECT_EQ(answer.status, kControlNothing);
    EXPECT_TRUE(answer.lines.empty());

    answer = request(ControlVerb::Run, "?version", 0, true);
    EXPECT_EQ(answer.lines.front(), "{\"reply\":\"Tallysv pre-release. Build 11\"}");
}

TEST_F(ControlCommandsTest, BanKicksThePlayerWhereverTheBanReaches) {
    ControlAnswer answer = run("?ban -d=7 Victim");
    ASSERT_EQ(answer.status, kControlOk);
    EXPECT_EQ(answer.lines, Lines{"Ban # 1 added network-wide. Duration: 7 day(s)."});
    BanRecord* ban = database.bans().tail();
    ASSERT_NE(ban, nullptr);
    EXPECT_EQ(ban->groupID, 0);
    EXPECT_EQ(ban->bannedBy, nullptr);  // the socket's administrator has no account

    auto kicks = take(*bay, 8);
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->playerId, victim.playerID);
    EXPECT_TRUE(take(*arena, 8).empty());

    // The operator in a zone sees it in ?listban there.
    Lines listed = type(watcher, "?listban");
    ASSERT_FALSE(listed.empty());
    EXPECT_NE(listed[0].find("Victim"), std::string::npos) << listed[0];
}

// A provider's block comes back on a worker for a player in a zone; the
// socket's caller is none, so the ban is not made and the caller is told.
TEST_F(ControlCommandsTest, ABanByProviderBlockIsRefusedAsUnfinished) {
    commands.services.lookupNetBlock = [](const IPv4Address&) {
        return std::optional<NetBlock>(NetBlock{{10, 1, 0, 0}, {10, 1, 255, 255}});
    };
    ControlAnswer answer = run("?ban -! -d=7 Victim");
    EXPECT_EQ(answer.status, kControlNothing);
    ASSERT_EQ(answer.errors.size(), 1u);
    EXPECT_NE(answer.errors.front().find("not completed"), std::string::npos);
    EXPECT_EQ(database.bans().count(), 0u);
    // Nothing of it is left to complete later.
    EXPECT_EQ(run("?listban").lines, Lines{"No bans"});
}

TEST_F(ControlCommandsTest, OperatorEntryActsWithItsLevelAndSector) {
    // Entry 2: a zone-wide level 1 operator of Coast (9, group 4).
    database.createOperator(nullptr, 4, 9, 1, "mod");
    const int32_t entry = static_cast<int32_t>(database.operators().count());

    // Level 0 commands are out of its reach: nothing matches.
    EXPECT_EQ(run("?version", entry).status, kControlNothing);
    // A ban lands in its zone, and it has no power in another.
    ControlAnswer answer = run("?ban Victim", entry);
    EXPECT_EQ(answer.lines, Lines{"Ban # 1 added zone-wide. Duration: 1 day(s)."});
    EXPECT_EQ(database.bans().tail()->scoreID, 9);
    // Victim is in Bay, which the ban does not reach: no kick.
    EXPECT_TRUE(take(*bay, 8).empty());
    // Zone orders reach only its group.
    EXPECT_EQ(run("?recyclezone 6", entry).lines, Lines{"Specified zone slot is empty"});
    EXPECT_TRUE(take(*bay, 4).empty());
    EXPECT_EQ(run("?recyclezone 9", entry).lines, Lines{"Recycle in progress"});
    EXPECT_EQ(take(*coast, 4).size(), 1u);

    EXPECT_EQ(run("?listop", 99).status, kControlRefused);
    EXPECT_TRUE(logged("Control(uid 1000 pid 4242 as " + std::to_string(entry) + ")>?ban Victim"));
}

TEST_F(ControlCommandsTest, TheCallerLeavesNothingBehind) {
    // A channel joined and an operator login taken within one request end
    // with it, as a player's session ends at leaving.
    const int32_t before = database.operators().head()->sessionCount;
    EXPECT_EQ(run("?chat=lobby").status, kControlOk);
    EXPECT_EQ(zones.channelMembershipFault(), "");
    EXPECT_TRUE(zones.chatChannels().empty());
    run("?deop");
    run("?login x");
    EXPECT_EQ(database.operators().head()->sessionCount, before);

    // "This zone" is none: ?closezone without a ScoreID orders nothing.
    ControlAnswer answer = run("?closezone");
    EXPECT_EQ(answer.lines, Lines{"Specified zone slot is empty"});
    EXPECT_EQ(zoneTraffic(), 0u);
    answer = run("?recyclezone 6");
    EXPECT_EQ(answer.lines, Lines{"Recycle in progress"});
    EXPECT_EQ(take(*bay, 4).size(), 1u);

    // A password never reaches the console.
    run("?changepassword Victim:newsecret");
    for (const std::string& line : log.lines()) EXPECT_EQ(line.find("newsecret"), std::string::npos) << line;
}

TEST_F(ControlCommandsTest, ZonesPlayersAndFind) {
    ControlAnswer answer = request(ControlVerb::Zones);
    ASSERT_EQ(answer.lines.size(), 3u);
    EXPECT_EQ(answer.lines[0].substr(0, 9), "5\t3\t1\t10.");
    EXPECT_NE(answer.lines[0].find("\tArena"), std::string::npos);

    answer = request(ControlVerb::Players);
    EXPECT_EQ(answer.lines, (Lines{"Watcher\t5\tArena\t1", "Victim\t6\tBay\t-"}));

    answer = request(ControlVerb::Find, "victim", 0, true);
    EXPECT_EQ(answer.status, kControlOk);
    EXPECT_EQ(answer.lines, Lines{"{\"name\":\"Victim\",\"scoreID\":6,\"zone\":\"Bay\",\"operator\":null}"});
    answer = request(ControlVerb::Find, "Nobody");
    EXPECT_EQ(answer.status, kControlNothing);
    EXPECT_EQ(answer.errors, Lines{"Nobody is in no zone"});
}

TEST_F(ControlCommandsTest, SaveAndReloadRunAsWriteAndRead) {
    ControlAnswer answer = request(ControlVerb::Save);
    EXPECT_EQ(answer.status, kControlOk);
    EXPECT_EQ(answer.lines, (Lines{"Please wait...", "Database stored to disk"}));
    answer = request(ControlVerb::Save, "", 0, true);
    EXPECT_EQ(answer.status, kControlOk);
    EXPECT_EQ(answer.lines.back(), "{\"reply\":\"Database stored to disk\"}");
    commands.services.saveDatabase = [] { return false; };
    EXPECT_EQ(request(ControlVerb::Save).status, kControlNothing);

    dir.write("TALLYSV.INI", "[Comms]\nDisableHelp=0\n");
    settings.disableHelp = true;
    answer = request(ControlVerb::Reload);
    EXPECT_EQ(answer.lines, (Lines{"Please wait...", "Settings loaded from disk"}));
    EXPECT_FALSE(settings.disableHelp);
}

}  // namespace
}  // namespace tallysv::testing
