#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "commands/command_fixture.h"
#include "control/audit_log.h"
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

    // The operator entry of an account, made for the test; its number.
    int32_t entryBoundTo(PlayerSession& player) {
        database.createOperator(player.user, 0, 0, 4, "boundpw");
        return static_cast<int32_t>(database.operators().count());
    }
    void keepAuditLines() {
        commands.services.audit = [this](const AuditRecord& record) { audited.push_back(record); };
    }

    Mutex lock;
    ControlCommands control{lock, zones, commands, log, {}};
    std::vector<AuditRecord> audited;
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

namespace tallysv::testing {
namespace {

// A player's own commands, sent through the socket with no account behind
// them: each is refused, none touches the account that every locked-out
// player shares. `changes`: the command would change an account, and its
// refusal is audited.
struct OwnAccountText {
    const char* text;
    bool changes;
};
constexpr OwnAccountText kOwnAccountTexts[] = {
    {"?password=newpw", true},        {"?password newpw", true},  {"?squadcreate=Red:pw", true},
    {"?squadjoin Red", true},         {"?squadleave", true},      {"?squaddissolve", true},
    {"?squadpassword pw", true},      {"?squadname Blue", true},  {"?squadkick Victim", true},
    {"?squadgrant Victim", true},     {"?setname Someone", true}, {"?setemail a@b.example", true},
    {"?details=Anything", true},      {"?notifychat 1", true},    {"?squadlist", false},
    {"?squad", false},                {"?seen", false},           {"?details", false},
    {"?notifychat", false},
};

TEST_F(ControlCommandsTest, APlayersOwnCommandWithNoAccountBehindItIsRefused) {
    keepAuditLines();
    database.addSquadMember(*database.createSquad("Red", "pw", victim.session->user), *victim.session->user);
    const PasswordField placeholderPassword = database.placeholderUser.password;
    // The Network Administrator ("-"), and an operator entry of no account.
    database.createOperator(nullptr, 0, 0, 2, "noaccount");
    const int32_t unbound = static_cast<int32_t>(database.operators().count());
    for (int32_t entry : {0, unbound}) {
        for (const OwnAccountText& row : kOwnAccountTexts) {
            SCOPED_TRACE(std::string(row.text) + " as entry " + std::to_string(entry));
            const size_t auditedBefore = audited.size();
            ControlAnswer answer = run(row.text, entry);
            EXPECT_EQ(answer.status, kControlRefused);
            EXPECT_TRUE(answer.lines.empty());
            ASSERT_EQ(answer.errors.size(), 1u);
            EXPECT_EQ(answer.errors[0].rfind("no account: ?", 0), 0u) << answer.errors[0];
            EXPECT_NE(answer.errors[0].find("acts on the caller's own account"), std::string::npos);
            ASSERT_EQ(audited.size(), auditedBefore + (row.changes ? 1 : 0));
            if (row.changes) {
                EXPECT_TRUE(audited.back().fromSocket);
                EXPECT_EQ(audited.back().account, "");
                EXPECT_EQ(audited.back().outcome, answer.errors[0]);
            }
        }
    }
    EXPECT_EQ(database.placeholderUser.password, placeholderPassword);
    EXPECT_EQ(database.placeholderUser.squad, nullptr);
    EXPECT_EQ(database.squads().count(), 1u);
    EXPECT_EQ(database.squads().head()->owner, victim.session->user);
    EXPECT_EQ(std::string(database.squads().head()->nameText()), "Red");
    EXPECT_EQ(victim.session->user->squad, database.squads().head());

    // Look-ups of another account are no acts on one's own.
    EXPECT_EQ(run("?squad Victim").lines, Lines{"Victim's squad is Red"});
    EXPECT_EQ(run("?seen Victim").status, kControlOk);
}

TEST_F(ControlCommandsTest, APlayersOwnCommandActsOnTheBoundAccountAndIsAudited) {
    keepAuditLines();
    clock.setNow(1797000000);
    const int32_t entry = entryBoundTo(*victim.session);
    const PasswordField before = victim.session->user->password;
    ControlAnswer answer = run("?password=NewSecret5", entry);
    EXPECT_EQ(answer.status, kControlOk);
    EXPECT_EQ(answer.lines, Lines{"Password changed"});
    EXPECT_NE(victim.session->user->password, before);
    ASSERT_EQ(audited.size(), 1u);
    EXPECT_EQ(auditLine(audited[0]),
              "{\"time\":\"2026-12-11T14:40:00Z\",\"operator\":" + std::to_string(entry) +
                  ",\"level\":4,\"uid\":1000,\"pid\":4242,\"account\":\"Victim\",\"where\":\"socket\","
                  "\"command\":\"?password=********\",\"outcome\":\"Password changed\"}");
    std::optional<AuditRecord> read = parseAuditLine(auditLine(audited[0]));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->account, "Victim");
    EXPECT_TRUE(read->fromSocket);

    EXPECT_EQ(run("?squadcreate=Blue:pw", entry).status, kControlOk);
    ASSERT_EQ(audited.size(), 2u);
    EXPECT_EQ(audited[1].command, "?squadcreate=Blue:********");
    // A look-up changes nothing and is not recorded.
    EXPECT_EQ(run("?squadlist", entry).lines, Lines{"Squadmates: Victim"});
    EXPECT_EQ(audited.size(), 2u);
}

TEST_F(ControlCommandsTest, BlanksBeforeACommandWordAreMaskedInTheEcho) {
    for (const char* text : {" ?changepassword Victim:Secret5", "\t?login Secret5", " \t?addop -3 Victim:Secret5"}) {
        SCOPED_TRACE(text);
        log.clear();
        EXPECT_EQ(run(text).status, kControlNothing);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].find("Secret5"), std::string::npos) << log.lines()[0];
        EXPECT_NE(log.lines()[0].find("********"), std::string::npos) << log.lines()[0];
    }
}

}  // namespace
}  // namespace tallysv::testing
