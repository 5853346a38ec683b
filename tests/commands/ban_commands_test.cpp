#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "command_fixture.h"
#include "support/fake_whois_server.h"
#include "zone/zone_session.h"

namespace tallysv::testing {
namespace {

// Two zones of group 3 (Arena 5, Bay 6) and one of group 4 (Coast 9). Boss
// is the operator in Arena; Victim plays in Bay, so bans on him are made
// without a kick unless a test says otherwise.
class BanTest : public ThreeZoneTest {
protected:
    void SetUp() override {
        loginThreeZones();
        boss = seat(*arena, "Boss", 1);
        victim = seat(*bay, "Victim", 1);
        op = makeOperator(*boss.session, 0);
        victimUser = victim.session->user;
        database.setUserAddress(*victimUser, {10, 1, 2, 3}, 424242);
    }

    // Sets the operator's powers.
    void powers(uint8_t level, int32_t groupID = 0, int32_t scoreID = 0) {
        op->level = level;
        op->groupID = groupID;
        op->scoreID = scoreID;
    }
    void liftAll() {
        while (BanRecord* ban = database.bans().head()) database.removeBan(ban);
    }
    BanRecord* lastBan() { return database.bans().tail(); }

    // Lines with "{ban}" standing for the newest BanID.
    Lines expand(const Lines& lines) {
        Lines out;
        for (std::string line : lines) {
            size_t at = line.find("{ban}");
            if (at != std::string::npos) line.replace(at, 5, std::to_string(database.lastBanID()));
            out.push_back(line);
        }
        return out;
    }

    // The texts sent to each player of a zone by a command.
    std::vector<zoneclient::PlayerText> typeAll(Seat& who, const std::string& text) {
        clock.advance(2000);
        take(*who.zone, 9);
        send(*who.zone, zoneclient::command(who.playerID, text));
        std::vector<zoneclient::PlayerText> out;
        for (const Bytes& m : take(*who.zone, 9)) out.push_back(*zoneclient::parsePlayerText(m));
        return out;
    }

    Seat boss{};
    Seat victim{};
    OperatorRecord* op = nullptr;
    UserRecord* victimUser = nullptr;
};

TEST_F(BanTest, SwitchScanAndRefusals) {
    database.createZone(77, 3, "pw");
    const struct {
        uint8_t level;
        int32_t groupID, scoreID;  // the operator's
        const char* text;
        Lines replies;
    } cases[] = {
        {0, 0, 0, "?ban", {"This command requires parameters. Type ?help ban for details"}},
        {0, 0, 0, "?ban ", {"This command requires parameters. Type ?help ban for details"}},
        {0, 0, 0, "?ban Victim", {"Ban # {ban} added zone-wide. Duration: 1 day(s)."}},
        // Days: at least 1, at most 5000, then the level's cap.
        {4, 3, 0, "?ban -d=30 Victim", {"Ban # {ban} added zone-wide. Duration: 7 day(s)."}},
        {3, 3, 0, "?ban -d=30 Victim", {"Ban # {ban} added zone-wide. Duration: 30 day(s)."}},
        {3, 3, 0, "?ban -d=61 Victim", {"Ban # {ban} added zone-wide. Duration: 60 day(s)."}},
        {2, 3, 0, "?ban -D=400 Victim", {"Ban # {ban} added zone-wide. Duration: 365 day(s)."}},
        {4, 3, 0, "?ban -d=0 Victim", {"Ban # {ban} added zone-wide. Duration: 1 day(s)."}},
        {1, 0, 0, "?ban -d=9999999 Victim", {"Ban # {ban} added zone-wide. Duration: 5000 day(s)."}},
        {1, 0, 0, "?ban -d=12345678 Victim", {"Invalid switch."}},
        {1, 0, 0, "?ban -d Victim", {"Ban # {ban} added zone-wide. Duration: 1 day(s)."}},
        {1, 0, 0, "?ban -d", {"Invalid switch."}},
        {1, 0, 0, "?ban -g", {"Invalid switch."}},
        {1, 0, 0, "?ban -r", {"Invalid switch."}},
        // The value is not applied when it runs to the end of the text.
        {1, 0, 0, "?ban Victim -d=30", {"Unable to find given user in network logs. Aborted", "Victim -d=30"}},
        // Levels.
        {4, 3, 0, "?ban -3 Victim", {"-level: You cannot add bans at the requested access level."}},
        {4, 3, 0, "?ban -4 Victim", {"Ban # {ban} added zone-wide. Duration: 1 day(s)."}},
        {4, 3, 0, "?ban -7 -x - Victim", {"Ban # {ban} added zone-wide. Duration: 1 day(s)."}},
        // Scopes.
        {2, 3, 5, "?ban -g Victim", {"You cannot add group-wide bans."}},
        {2, 3, 5, "?ban -g=5 Victim", {"You cannot add group-wide bans"}},
        {2, 3, 0, "?ban -g Victim", {"Ban # {ban} added group-wide( Group3). Duration: 1 day(s)."}},
        {2, 0, 7, "?ban -G=4 Victim", {"You only have limited powers in the target zone"}},
        {0, 0, 0, "?ban -g=4 Victim", {"Ban # {ban} added group-wide( Group4). Duration: 1 day(s)."}},
        {1, 3, 0, "?ban -* Victim", {"-*: You cannot add network-wide bans."}},
        {0, 0, 0, "?ban -* Victim", {"Ban # {ban} added network-wide. Duration: 1 day(s)."}},
        {0, 0, 0, "?ban -* -g Victim", {"Ban # {ban} added network-wide. Duration: 1 day(s)."}},
        {1, 3, 0, "?ban -g=4 Victim", {"You only have limited powers in the target zone"}},
        {2, 3, 6, "?ban Victim", {"You only have limited powers in the target zone"}},
        {0, 0, 0, "?ban -r=77 Victim", {"Ban # {ban} added zone-wide in zone #77. Duration: 1 day(s)."}},
        {0, 0, 0, "?ban -R=78 Victim", {"Target zone not found"}},
        // A number that runs to the end of the text is not applied (no zone
        // is looked up); an empty one reads 0.
        {0, 0, 0, "?ban -R=78", {"Unable to find given user in network logs. Aborted", ""}},
        {0, 0, 0, "?ban -g= Victim", {"Ban # {ban} added network-wide. Duration: 1 day(s)."}},
        {2, 0, 0, "?ban -r=77 Victim", {"You cannot remote ban"}},
        // Address modes.
        {3, 0, 0, "?ban -! Victim", {"-!: You cannot ban player ISP's."}},
        {1, 0, 0, "?ban -i 10.0.0.1 Victim", {"-i: You cannot specify an IP range."}},
        {4, 0, 0, "?ban -s Victim", {"-s: You cannot add subnet bans."}},
        {0, 0, 0, "?ban -i 10.1.2.3", {"Invalid IP range parameters. Aborted"}},
        {0, 0, 0, "?ban -i 10.1.300.1 Victim", {"Invalid IP range parameters. Aborted"}},
        {0, 0, 0, "?ban -i", {"Invalid IP range parameters. Aborted"}},
        {0, 0, 0, "?ban -i ", {"Invalid IP range parameters. Aborted"}},
        // Names.
        {0, 0, 0, "?ban abcdefghijklmnopqrst",
         {"Name: Specified name ludicrously long(Not over 20 characters please)."}},
        {0, 0, 0, "?ban abcdefghijklmnopqrs",
         {"Unable to find given user in network logs. Aborted", "abcdefghijklmnopqrs"}},
        {0, 0, 0, "?ban -k victim", {"Ban # {ban} added zone-wide. Duration: 1 day(s)."}},
        // Switches and no name: the empty name is echoed.
        {0, 0, 0, "?ban -k", {"Unable to find given user in network logs. Aborted", ""}},
        {0, 0, 0, "?ban -", {"Unable to find given user in network logs. Aborted", ""}},
    };
    for (const auto& c : cases) {
        liftAll();
        powers(c.level, c.groupID, c.scoreID);
        const int32_t before = database.lastBanID();
        Lines replies = type(boss, c.text);
        EXPECT_EQ(replies, expand(c.replies)) << c.text;
        // A refusal changes nothing.
        const bool added = c.replies.size() == 1 && c.replies[0].rfind("Ban # ", 0) == 0;
        EXPECT_EQ(database.lastBanID(), before + (added ? 1 : 0)) << c.text;
        EXPECT_EQ(database.bans().count(), added ? 1u : 0u) << c.text;
    }
}

TEST_F(BanTest, TheBanRecord) {
    database.registerUser(*victimUser, "Real", "mail", 31337);
    powers(0);
    clock.setNow(1000000000);
    EXPECT_EQ(type(boss, "?ban -3 -d=10 Victim"), Lines{"Ban # 1 added zone-wide. Duration: 10 day(s)."});
    BanRecord* ban = lastBan();
    ASSERT_NE(ban, nullptr);
    EXPECT_EQ(ban->banID(), 1);
    EXPECT_EQ(ban->userID, victimUser->userID());
    EXPECT_EQ(ban->name.view(), "Victim");
    EXPECT_EQ(ban->machineID, 424242);
    EXPECT_EQ(ban->hardwareID, 31337);
    EXPECT_EQ(ban->rangeStart, (IPv4Address{10, 1, 2, 3}));
    EXPECT_EQ(ban->rangeEnd, (IPv4Address{10, 1, 2, 3}));
    EXPECT_EQ(ban->groupID, 3);
    EXPECT_EQ(ban->scoreID, 5);
    EXPECT_EQ(ban->level, 3);
    EXPECT_EQ(ban->created, clock.now());
    EXPECT_EQ(ban->lastHit, clock.now());
    EXPECT_EQ(ban->expires, clock.now() + 10 * 86400);
    EXPECT_EQ(ban->bannedBy, boss.session->user);
    EXPECT_TRUE(ban->comment.empty());
    // The player in the other zone is not kicked.
    EXPECT_TRUE(take(*bay, 8).empty());
}

// A player locked out at login (here a faked client) plays under the
// placeholder account until the kick; logged in as an operator meanwhile,
// the bans it makes are by nobody, since that account is never saved.
// (Found by the whole-network simulation.)
TEST_F(BanTest, ABanByALockedOutOperatorIsByNobody) {
    zoneclient::PlayerLogin login;
    login.name = "Sneak";
    login.playerId = 7;
    login.machineId = 1;
    login.address = nextPlayerAddress();
    ASSERT_EQ(loginPlayer(*arena, login)->name, "^Banned");
    Seat sneak{arena, 7, player(*arena, 7)};
    ASSERT_EQ(sneak.session->user, &database.placeholderUser);
    // Logged in with the built-in operator's password, which any player may type.
    OperatorRecord* builtIn = database.createOperator(nullptr, 0, 0, 0, "sysop");
    sneak.session->op = builtIn;
    builtIn->sessionCount += 1;
    EXPECT_EQ(type(sneak, "?ban -d=1 Victim"), Lines{"Ban # 1 added zone-wide. Duration: 1 day(s)."});
    ASSERT_NE(lastBan(), nullptr);
    EXPECT_EQ(lastBan()->bannedBy, nullptr);
}

TEST_F(BanTest, ALongBanLastsAsLongAsTheFileCanHoldIt) {
    powers(0);
    clock.setNow(2000000000);  // 2033: 5000 days more pass 2038
    type(boss, "?ban -d=5000 Victim");
    ASSERT_NE(lastBan(), nullptr);
    EXPECT_EQ(lastBan()->expires, INT32_MAX);
    database.removeExpiredBans(clock.now() + 86400);
    EXPECT_EQ(database.bans().count(), 1u);
    Lines listed = type(boss, "?listban -d");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_NE(listed[0].find("until 1-19-2038."), std::string::npos) << listed[0];
}

TEST_F(BanTest, APlayerOfTheZoneIsKickedWithTheBanNotice) {
    seat(*arena, "Local", 2);
    seat(*arena, "Other", 3);
    database.createZone(5, 3, "pw")->BanText.set("Appeal at the forum");
    powers(0);
    // With -k the player stays.
    auto quiet = typeAll(boss, "?ban -k Other");
    ASSERT_EQ(quiet.size(), 1u);
    EXPECT_EQ(quiet[0].playerId, 1u);
    EXPECT_TRUE(take(*arena, 8).empty());

    auto texts = typeAll(boss, "?ban -d=2 Local");
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0].playerId, 2u);
    EXPECT_EQ(texts[0].text, "You have been banned from Arena until 9-11-2001.  Ban # 2 by Boss");
    EXPECT_EQ(texts[1].playerId, 2u);
    EXPECT_EQ(texts[1].text, "Appeal at the forum");
    EXPECT_EQ(texts[2].playerId, 1u);
    EXPECT_EQ(texts[2].text, "Ban # 2 added zone-wide. Duration: 2 day(s).");
    auto kicks = take(*arena, 8);
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->playerId, 2u);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->reason, 2);
}

TEST_F(BanTest, AddressModes) {
    powers(0);
    const struct {
        const char* text;
        IPv4Address start, end;
        const char* shown;
    } cases[] = {
        {"?ban Victim", {10, 1, 2, 3}, {10, 1, 2, 3}, "10.1.2.3"},
        {"?ban -s Victim", {10, 1, 2, 0}, {10, 1, 2, 255}, "10.1.2.*"},
        {"?ban -i 10.1.*.* Victim", {10, 1, 0, 0}, {10, 1, 255, 255}, "10.1.*.*"},
        {"?ban -i 10.1.2.0-10.1.9.99 Victim", {10, 1, 2, 0}, {10, 1, 9, 99}, "10.1.2.0-10.1.9.99"},
        {"?ban -i 7.0.0.1 Victim", {7, 0, 0, 1}, {7, 0, 0, 1}, "7.0.0.1"},
        // Subnet before range: "-s" wins whatever the order.
        {"?ban -i 7.0.0.1 -s Victim", {10, 1, 2, 0}, {10, 1, 2, 255}, "10.1.2.*"},
    };
    for (const auto& c : cases) {
        liftAll();
        Lines replies = type(boss, c.text);
        ASSERT_EQ(replies.size(), 1u) << c.text;
        ASSERT_NE(lastBan(), nullptr) << c.text;
        EXPECT_EQ(lastBan()->rangeStart, c.start) << c.text;
        EXPECT_EQ(lastBan()->rangeEnd, c.end) << c.text;
        Lines listed = type(boss, "?listban -d");
        ASSERT_EQ(listed.size(), 1u) << c.text;
        EXPECT_NE(listed[0].find(std::string("[") + c.shown + "]"), std::string::npos) << listed[0];
    }
}

TEST_F(BanTest, OperatorsAtOrBelowTheLevelAreNotBanned) {
    database.createOperator(victimUser, 3, 0, 2, "x");
    powers(2, 3, 0);
    EXPECT_EQ(type(boss, "?ban Victim"), Lines{"You cannot ban operators at or below your level."});
    EXPECT_EQ(database.bans().count(), 0u);
    powers(1, 3, 0);
    EXPECT_EQ(type(boss, "?ban Victim"), Lines{"Ban # 1 added zone-wide. Duration: 1 day(s)."});
    // Nor oneself.
    powers(4, 3, 0);
    EXPECT_EQ(type(boss, "?ban Boss"), Lines{"You cannot ban operators at or below your level."});
}

TEST_F(BanTest, ASecondBanOnTheSameAccount) {
    powers(0);
    type(boss, "?ban Victim");
    EXPECT_EQ(type(boss, "?ban -d=3 Victim"),
              (Lines{"NOTICE: Player is already banned(But the ban does not nessecarily affect the target zone)",
                     "BanID of old ban: 1", "Ban # 2 added zone-wide. Duration: 3 day(s)."}));
    EXPECT_EQ(database.bans().count(), 2u);
}

TEST_F(BanTest, TheBanfreeTest) {
    UserRecord* alias = database.createUser("Alias", "pw", {1, 2, 3, 4}, 424242, 0);
    UserRecord* stranger = database.createUser("Stranger", "pw", {1, 2, 3, 5}, 5, 0);
    database.createBanfree(stranger->userID(), 0, 0);
    database.createBanfree(999, 0, 0);  // no such account: skipped, but counted
    database.createBanfree(alias->userID(), 0, 0);
    powers(0);
    const Lines refused{"This player or one of the players aliases has at least one banfree. Cannot ban with -b switch "
                        "unless there are no banfrees for the player",
                        "First match: Banfree #3"};
    EXPECT_EQ(type(boss, "?ban -b Victim"), refused);
    EXPECT_EQ(database.bans().count(), 0u);
    // Without the switch the banfrees are not looked at.
    EXPECT_EQ(type(boss, "?ban Victim"), Lines{"Ban # 1 added zone-wide. Duration: 1 day(s)."});
}

TEST_F(BanTest, ProviderBlockFromTheWhoisServer) {
    FakeWhoisServer registry({"inetnum: 10.0.0.0 - 10.255.255.255\n", "NetRange: 10.1.0.0 - 10.1.255.255\n"});
    settings.whoisServer = registry.server();
    powers(2, 3, 0);
    EXPECT_EQ(type(boss, "?ban -! Victim"), (Lines{"Please wait while downloading information for NetBlock...",
                                                  "Ban # 1 added zone-wide. Duration: 1 day(s)."}));
    EXPECT_EQ(registry.queries(), std::vector<std::string>{"10.1.2.3"});
    ASSERT_NE(lastBan(), nullptr);
    EXPECT_EQ(lastBan()->rangeStart, (IPv4Address{10, 1, 0, 0}));
    EXPECT_EQ(lastBan()->rangeEnd, (IPv4Address{10, 1, 255, 255}));

    // An account without an address is never looked up.
    liftAll();
    database.setUserAddress(*victimUser, {0, 0, 0, 0}, victimUser->machineID());
    EXPECT_EQ(type(boss, "?ban -! Victim"), (Lines{"Please wait while downloading information for NetBlock...",
                                                  "Unable to calculate NetBlock. Try your request again soon"}));
    EXPECT_EQ(registry.queries().size(), 1u);
    EXPECT_EQ(database.bans().count(), 0u);
}

TEST_F(BanTest, TheServerMaySupplyItsOwnBlockLookup) {
    std::vector<IPv4Address> asked;
    commands.services.lookupNetBlock = [&](const IPv4Address& address) {
        asked.push_back(address);
        return std::optional<NetBlock>(NetBlock{{10, 1, 2, 0}, {10, 1, 2, 127}});
    };
    settings.whoisServer = "127.0.0.1:1";  // never asked
    powers(0);
    EXPECT_EQ(type(boss, "?ban -! Victim"), (Lines{"Please wait while downloading information for NetBlock...",
                                                  "Ban # 1 added zone-wide. Duration: 1 day(s)."}));
    EXPECT_EQ(asked, std::vector<IPv4Address>{victimUser->address()});
    EXPECT_EQ(lastBan()->rangeStart, (IPv4Address{10, 1, 2, 0}));
    EXPECT_EQ(lastBan()->rangeEnd, (IPv4Address{10, 1, 2, 127}));
    EXPECT_TRUE(log.text().find("Error connecting") == std::string::npos);
}

TEST_F(BanTest, ASilentWhoisServerFailsTheBanWithinItsLimit) {
    FakeWhoisServer silent({}, true);
    settings.whoisServer = silent.server();
    settings.whoisTimeout = 200;
    powers(0);
    EXPECT_EQ(type(boss, "?ban -! Victim"), (Lines{"Please wait while downloading information for NetBlock...",
                                                  "Unable to calculate NetBlock. Try your request again soon"}));
    EXPECT_EQ(database.bans().count(), 0u);
    // The other zones are answered at once afterwards.
    makeOperator(*victim.session, 4);
    EXPECT_EQ(type(victim, "?listban"), Lines{"No bans"});
}

TEST_F(BanTest, ListScopesAndLines) {
    database.createZone(77, 3, "pw");
    powers(0);
    type(boss, "?ban Victim");            // 1: zone-wide in Arena
    type(boss, "?ban -g Victim");         // 2: group 3
    type(boss, "?ban -g=4 Victim");       // 3: group 4
    type(boss, "?ban -* Victim");         // 4: network-wide
    type(boss, "?ban -r=77 Victim");      // 5: zone 77, not connected
    Seat visitor = seat(*bay, "Visitor", 2);
    makeOperator(*visitor.session, 0);
    type(visitor, "?ban Victim");         // 6: zone-wide in Bay
    database.findBanByID(2)->comment.set("Second warning");

    EXPECT_EQ(type(boss, "?listban"), (Lines{"1) <Arena> Victim", "2$) {3} Victim", "Second warning", "4*) Victim"}));
    EXPECT_EQ(type(boss, "?listban -*"), (Lines{"1) <Arena> Victim", "2$) {3} Victim", "Second warning",
                                                "3$) {4} Victim", "4*) Victim", "5) <77> Victim", "6) <Bay> Victim"}));
    // A BanID shows that ban with details wherever it is.
    Lines one = type(boss, "?listban 6");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], "6) <Bay> Victim [10.1.2.3] until 9-10-2001. Set 9-09-2001 by Visitor:0");
    EXPECT_EQ(type(boss, "?listban 66"), Lines{"Ban not found"});
    EXPECT_EQ(type(boss, "?listban 4294967297"), Lines{"Ban not found"});
    // A level 2 operator cannot see beyond the zone.
    powers(2, 0, 0);
    EXPECT_EQ(type(boss, "?listban -*"),
              (Lines{"You cannot see bans network-wide", "1) <Arena> Victim", "2$) {3} Victim", "Second warning",
                     "4*) Victim"}));
    EXPECT_EQ(type(boss, "?listban 6"), Lines{"Ban not found"});
    // Levels 3 and 4 need power in the zone.
    powers(3, 3, 6);
    EXPECT_EQ(type(boss, "?listban"), (Lines{"You only have limited powers in this zone",
                                             "You need to have at least level 2 access to see bans in this zone"}));
    powers(2, 3, 6);
    EXPECT_EQ(type(boss, "?listban").size(), 4u);

    while (BanRecord* ban = database.bans().head()) database.removeBan(ban);
    EXPECT_EQ(type(boss, "?listban"), Lines{"No bans"});
}

TEST_F(BanTest, ListDetails) {
    powers(0);
    clock.setNow(1000000000);  // 9-09-2001 01:46.40 UTC
    type(boss, "?ban -d=3 Victim");
    BanRecord* ban = lastBan();
    EXPECT_EQ(type(boss, "?listban -d"),
              Lines{"1) <Arena> Victim [10.1.2.3] until 9-12-2001. Set 9-09-2001 by Boss:0"});
    ban->lastHit = ban->created + 3600 + 125;
    ban->level = 3;
    EXPECT_EQ(type(boss, "?listban -D"),
              Lines{"1) <Arena> Victim [10.1.2.3] until 9-12-2001. Set 9-09-2001 by Boss:3. Last access 9-09-2001 "
                    "2:48.47"});
    // In the reader's own time zone (two hours west), and an unknown setter.
    boss.session->user->timeZoneBias = 120;
    ban->bannedBy = nullptr;
    ban->lastHit = -5;
    EXPECT_EQ(type(boss, "?listban -d"),
              Lines{"1) <Arena> Victim [10.1.2.3] until 9-11-2001. Set 9-08-2001 by (Unknown):3. Last access "
                    "(Invalid date)"});
}

TEST_F(BanTest, RangeTexts) {
    powers(0);
    const struct {
        IPv4Address start, end;
        const char* shown;
    } cases[] = {
        {{10, 1, 2, 3}, {10, 1, 2, 3}, "10.1.2.3"},
        {{10, 0, 0, 0}, {10, 255, 255, 255}, "10.*.*.*"},
        {{10, 1, 2, 0}, {10, 1, 2, 255}, "10.1.2.*"},
        {{10, 1, 0, 0}, {10, 1, 255, 255}, "10.1.*.*"},
        {{10, 1, 2, 0}, {10, 1, 2, 127}, "10.1.2.0-10.1.2.127"},
        {{10, 1, 0, 0}, {10, 1, 127, 255}, "10.1.0.0-10.1.127.255"},
        {{10, 1, 2, 3}, {11, 1, 2, 3}, "10.1.2.3-11.1.2.3"},
    };
    for (const auto& c : cases) {
        liftAll();
        type(boss, "?ban Victim");
        lastBan()->rangeStart = c.start;
        lastBan()->rangeEnd = c.end;
        Lines listed = type(boss, "?listban -d");
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_NE(listed[0].find(std::string(" [") + c.shown + "] "), std::string::npos) << listed[0];
    }
}

TEST_F(BanTest, LiftAndCommentHaveDifferentAuthority) {
    powers(0);
    type(boss, "?ban -2 Victim");  // ban 1, zone-wide in Arena, level 2
    powers(3, 3, 5);
    EXPECT_EQ(type(boss, "?liftban 1"), Lines{"You do not have authority to lift this ban"});
    EXPECT_EQ(type(boss, "?commentban 1:Seen cheating"), Lines{"Ban comment changed."});
    EXPECT_EQ(database.findBanByID(1)->comment.view(), "Seen cheating");
    powers(2, 3, 5);
    EXPECT_EQ(type(boss, "?liftban 1"), Lines{"Ban lifted"});
    EXPECT_EQ(database.findBanByID(1), nullptr);
}

TEST_F(BanTest, GroupOperatorsHaveNoSayOverOtherSectorsBans) {
    powers(0);
    type(boss, "?ban -* -4 Victim");    // 1: network-wide, level 4
    type(boss, "?ban -g=4 -4 Victim");  // 2: group 4, level 4
    type(boss, "?ban -g -4 Victim");    // 3: group 3, level 4
    powers(1, 3, 0);
    EXPECT_EQ(type(boss, "?liftban 1"), Lines{"You do not have authority to lift this ban"});
    EXPECT_EQ(type(boss, "?liftban 2"), Lines{"You do not have authority to lift this ban"});
    EXPECT_EQ(type(boss, "?liftban 3"), Lines{"Ban lifted"});
    // Commenting needs the sector or the level.
    database.findBanByID(1)->level = 0;
    EXPECT_EQ(type(boss, "?commentban 1:x"), Lines{"You do not have authority to comment this ban."});
    EXPECT_EQ(type(boss, "?commentban 2:x"), Lines{"Ban comment changed."});
}

TEST_F(BanTest, BanNumbersOutOfRange) {
    powers(0);
    for (int i = 0; i < 1234; ++i) database.createBan(*victimUser, nullptr, 1);
    for (const char* text : {"?liftban 0", "?liftban -1", "?liftban 1235", "?liftban 12345", "?liftban 4294968530",
                             "?liftban x"})
        EXPECT_EQ(type(boss, text), Lines{"Specified ban slot is empty"}) << text;
    EXPECT_TRUE(type(boss, "?liftban").empty());
    EXPECT_TRUE(type(boss, "?liftban ").empty());
    EXPECT_EQ(database.bans().count(), 1234u);
    for (const char* text : {"?commentban 0:x", "?commentban -5:x", "?commentban 12345:x", "?commentban 1235:x"})
        EXPECT_EQ(type(boss, text), Lines{"Specified ban slot is empty."}) << text;
    EXPECT_TRUE(database.findBanByID(1234)->comment.empty());
    EXPECT_EQ(type(boss, "?liftban 1234"), Lines{"Ban lifted"});
    // A lifted ban's number is empty too, without a reply for a comment.
    EXPECT_EQ(type(boss, "?liftban 1234"), Lines{"Specified ban slot is empty"});
    EXPECT_TRUE(type(boss, "?commentban 1234:x").empty());
}

TEST_F(BanTest, CommentForms) {
    powers(0);
    type(boss, "?ban Victim");
    EXPECT_EQ(type(boss, "?commentban"), Lines{"This command requires parameters. Type ?help commentban for details"});
    EXPECT_EQ(type(boss, "?commentban 1"), Lines{"SYNTAX: ?commentban <Ban ID>:<Comment>"});
    EXPECT_EQ(type(boss, "?commentban 1:" + std::string(70, 'c')), Lines{"Ban comment changed."});
    EXPECT_EQ(lastBan()->comment.view(), std::string(63, 'c'));
    EXPECT_EQ(type(boss, "?commentban 1:a:b"), Lines{"Ban comment changed."});
    EXPECT_EQ(lastBan()->comment.view(), "a:b");
    EXPECT_EQ(type(boss, "?commentban 1:"), Lines{"Ban comment changed."});
    EXPECT_TRUE(lastBan()->comment.empty());
    powers(4, 4, 9);  // no power in this zone
    EXPECT_EQ(type(boss, "?commentban 1:x"), Lines{"You only have limited powers in this zone"});
    EXPECT_EQ(type(boss, "?liftban 1"), Lines{"You only have limited powers in this zone"});
}

TEST_F(BanTest, BanText) {
    powers(2, 3, 0);
    EXPECT_EQ(type(boss, "?bantext Go away"),
              Lines{"This zone is not registered. Only registered zones may have ban text"});
    ZoneRecord* record = database.createZone(5, 3, "pw");
    EXPECT_EQ(type(boss, "?bantext"), Lines{"Ban text: "});
    EXPECT_EQ(type(boss, "?bantext Go away"), Lines{"Ban text changed"});
    EXPECT_EQ(type(boss, "?bantext"), Lines{"Ban text: Go away"});
    type(boss, "?bantext " + std::string(200, 'b'));
    EXPECT_EQ(record->BanText.view(), std::string(127, 'b'));
    // A level 4 operator's ?bantext is read by ?ban: switches and a name
    // from position 5 on.
    powers(4, 3, 0);
    EXPECT_EQ(type(boss, "?bantext Victim"),
              (Lines{"Unable to find given user in network logs. Aborted", "ext Victim"}));
}

TEST_F(BanTest, NotifyBanValues) {
    database.registerUser(*boss.session->user, "Real", "mail", 1);
    powers(4, 3, 0);
    const struct {
        const char* text;
        const char* reply;
        bool on;
    } cases[] = {
        {"?notifyban", "Ban notify is currently DISABLED", false},
        {"?notifyban on", "Ban notify ENABLED", true},
        {"?notifyban x", "Ban notify is currently ENABLED", true},
        {"?notifyban 0", "Ban notify DISABLED", false},
        {"?notifyban Y", "Ban notify ENABLED", true},
        {"?notifyban off", "Ban notify DISABLED", false},
        {"?notifyban of", "Ban notify ENABLED", true},
        {"?notifyban OFF", "Ban notify DISABLED", false},
        {"?notifyban 1", "Ban notify ENABLED", true},
        {"?notifyban n", "Ban notify DISABLED", false},
        {"?notifyban=y", "Ban notify ENABLED", true},
        {"?notifyb=y", "Ban notify is currently ENABLED", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(type(boss, c.text), Lines{c.reply}) << c.text;
        EXPECT_EQ(boss.session->NotifyBan != 0, c.on) << c.text;
        EXPECT_EQ(boss.session->user->registration()->NotifyBan, c.on) << c.text;
    }
}

TEST_F(BanTest, Banfrees) {
    powers(4, 3, 0);
    EXPECT_EQ(type(boss, "?banfree"), Lines{"You must specify a player"});
    EXPECT_EQ(type(boss, "?banfree -* Victim"), Lines{"You need level 1 network-wide access to add network-wide banfrees"});
    EXPECT_EQ(type(boss, "?banfree -3 Victim"), Lines{"You cannot add banfrees with levels greater than your own"});
    EXPECT_EQ(type(boss, "?banfree abcdefghijklmnopqrst"),
              Lines{"Name: Specified name ludicrously long(Not over 20 characters please)"});
    EXPECT_EQ(type(boss, "?banfree Nobody"), (Lines{"Specified user was not found in the database", "Nobody"}));
    EXPECT_EQ(database.banfrees().count(), 0u);

    const std::string id = std::to_string(victimUser->userID());
    EXPECT_EQ(type(boss, "?banfree -9 -4 Victim"), Lines{"Banfree added: UserId #" + id + ". Banfree level 4"});
    BanfreeRecord* banfree = database.banfrees().tail();
    EXPECT_EQ(banfree->userID(), victimUser->userID());
    EXPECT_EQ(banfree->groupID, 3);
    EXPECT_EQ(banfree->scoreID, 5);
    EXPECT_EQ(type(boss, "?banfree victim"), Lines{"The player is already banfreed"});

    powers(1, 0, 0);
    EXPECT_EQ(type(boss, "?banfree -* -2 Boss"), Lines{"Banfree added: UserId #1. Banfree level 2"});
    EXPECT_EQ(database.banfrees().tail()->groupID, 0);
    EXPECT_EQ(database.banfrees().tail()->scoreID, 0);
}

TEST_F(BanTest, BanfreeByUserID) {
    powers(0);
    while (database.users().count() < 42) database.createUser("Filler" + std::to_string(database.users().count()), "pw",
                                                              {1, 1, 1, 1}, 50000, 0);
    EXPECT_EQ(type(boss, "?banfree 42"), Lines{"Banfree added: UserId #42. Banfree level 0"});
    // A number too long for a UserID names nobody; it is not cut short.
    EXPECT_EQ(type(boss, "?banfree 4200000000042"),
              (Lines{"Specified user was not found in the database", "4200000000042"}));
    EXPECT_EQ(type(boss, "?banfree 0"), (Lines{"Specified user was not found in the database", "0"}));
    EXPECT_EQ(database.banfrees().count(), 1u);
}

TEST_F(BanTest, ListAndLiftBanfrees) {
    powers(1, 0, 0);
    EXPECT_EQ(type(boss, "?listbanfree"), Lines{"No banfrees"});
    database.createBanfree(victimUser->userID(), 3, 5);  // 1: Arena
    database.createBanfree(victimUser->userID(), 3, 6);  // 2: Bay (connected) - hidden here
    database.createBanfree(12345, 3, 0);                 // 3: group 3, no such account
    database.createBanfree(victimUser->userID(), 4, 0);  // 4: group 4 - hidden here
    database.createBanfree(1, 0, 0);                     // 5: network-wide
    EXPECT_EQ(type(boss, "?listbanfree"), (Lines{"1) <Arena> Victim", "3$) {3} UserId #12345", "5*) Boss"}));
    EXPECT_EQ(type(boss, "?listbanfree -*"), (Lines{"1) <Arena> Victim", "2) <Bay> Victim", "3$) {3} UserId #12345",
                                                    "4$) {4} Victim", "5*) Boss"}));
    powers(2, 0, 0);
    EXPECT_EQ(type(boss, "?listbanfree -*"), Lines{"You cannot see banfrees network-wide"});

    for (const char* text : {"?liftbanfree 0", "?liftbanfree -1", "?liftbanfree 6", "?liftbanfree 10002",
                             "?liftbanfree 4294967298"})
        EXPECT_EQ(type(boss, text), Lines{"Specified banfree slot is empty"}) << text;
    EXPECT_TRUE(type(boss, "?liftbanfree").empty());
    EXPECT_EQ(database.banfrees().count(), 5u);
    // Level 1 with network-wide access lifts any entry, whatever its scope.
    powers(1, 0, 0);
    EXPECT_EQ(type(boss, "?liftbanfree 4"), Lines{"Banfree lifted"});
    EXPECT_EQ(type(boss, "?liftbanfree 4"), Lines{"Banfree lifted"});
    EXPECT_EQ(type(boss, "?liftbanfree 4"), Lines{"Specified banfree slot is empty"});
    EXPECT_EQ(database.banfrees().count(), 3u);
    EXPECT_EQ(database.banfrees().tail()->userID(), 12345);

    powers(4, 4, 9);
    EXPECT_EQ(type(boss, "?listbanfree"), Lines{"You only have limited powers in this zone"});
    EXPECT_EQ(type(boss, "?liftbanfree 1"), Lines{"You only have limited powers in this zone"});
    EXPECT_EQ(type(boss, "?banfree Victim"), Lines{"You only have limited powers in this zone"});
}

TEST_F(BanTest, PlayersWithoutOperatorLoginReachNothing) {
    EXPECT_TRUE(type(victim, "?ban Boss").empty());
    EXPECT_TRUE(type(victim, "?listban").empty());
    EXPECT_EQ(database.bans().count(), 0u);
}

}  // namespace
}  // namespace tallysv::testing
