#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "command_fixture.h"
#include "zone/zone_session.h"

namespace tallysv::testing {
namespace {

// Arena (5) and Bay (6) in group 3, Coast (9) in group 4. Chief is the
// operator in Arena; a player of each zone has score records there.
class ZoneCommandTest : public ThreeZoneTest {
protected:
    void SetUp() override {
        loginThreeZones();
        chief = seat(*arena, "Chief", 1);
        op = makeOperator(*chief.session, 0);
    }

    void powers(uint8_t level, int32_t groupID = 0, int32_t scoreID = 0) {
        op->level = level;
        op->groupID = groupID;
        op->scoreID = scoreID;
    }

    // A player of the zone who leaves with scores and comes back: the zone
    // holds his score record and his session points at it.
    PlayerSession* scoredPlayer(SimZone& zone, const std::string& name, uint32_t id) {
        seat(zone, name, id);
        send(zone, zoneclient::playerLeaving(id, 10, zoneclient::Scores{1, 2, 3, 4, 5}));
        Seat back = seat(zone, name, id);
        EXPECT_NE(back.session->score, nullptr);
        return back.session;
    }

    size_t orders(SimZone& zone, bool recycle) {
        size_t n = 0;
        for (const Bytes& m : take(zone, recycle ? 4 : 2))
            if (recycle ? zoneclient::isRecycleOrder(m) : zoneclient::isShutdownOrder(m)) ++n;
        return n;
    }

    Seat chief{};
    OperatorRecord* op = nullptr;
};

TEST_F(ZoneCommandTest, PassBlock) {
    seat(*bay, "Bob", 1);
    UserRecord* bob = database.findUser("Bob");
    EXPECT_EQ(type(chief, "?block Bob"), Lines{"PassBlock: Banfree"});
    EXPECT_EQ(bob->passBlock, 1);
    EXPECT_EQ(type(chief, "?block bob"), Lines{"PassBlock: Normal"});
    EXPECT_EQ(bob->passBlock, 0);
    EXPECT_EQ(type(chief, "?block Nobody"), Lines{"Specified user was not found in the database"});
    // Without a name: one's own.
    EXPECT_EQ(type(chief, "?block"), Lines{"PassBlock: Banfree"});
    EXPECT_EQ(type(chief, "?block "), Lines{"PassBlock: Normal"});
    EXPECT_EQ(chief.session->user->passBlock, 0);
    // Tier 0 only.
    powers(1);
    EXPECT_TRUE(type(chief, "?block Bob").empty());
    EXPECT_EQ(bob->passBlock, 0);
}

TEST_F(ZoneCommandTest, WriteSavesBeforeTheSecondReply) {
    EXPECT_EQ(type(chief, "?write"), (Lines{"Please wait...", "Database stored to disk"}));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "User.dat"));
    // With a save service the server supplies, that one runs, after the
    // first reply has been handed to the zone and before the second.
    size_t queuedAtSave = 99;
    commands.services.saveDatabase = [&] {
        // Acknowledgements are 6 bytes; a reply is more.
        queuedAtSave = static_cast<size_t>(
            std::count_if(arena->fromServer.begin(), arena->fromServer.end(), [](const Bytes& d) { return d.size() > 6; }));
        return true;
    };
    EXPECT_EQ(type(chief, "?writ"), (Lines{"Please wait...", "Database stored to disk"}));
    EXPECT_EQ(queuedAtSave, 1u);
    // A save that fails is not reported as stored.
    commands.services.saveDatabase = [] { return false; };
    EXPECT_EQ(type(chief, "?write"), (Lines{"Please wait...", "Database could not be stored to disk"}));
}

// The fuzz targets start each input from a cleared core: it goes back to
// the settings of one made now, with no record and no zone.
TEST_F(ZoneCommandTest, ClearedCoreForgetsSettingsRecordsAndZones) {
    settings.whoisTimeout = 1234;
    ASSERT_TRUE(settings.allowNewUsers);
    core.clear();
    const Settings fresh;
    EXPECT_EQ(settings.whoisTimeout, fresh.whoisTimeout);
    EXPECT_EQ(settings.allowNewUsers, fresh.allowNewUsers);
    EXPECT_EQ(database.users().count(), 0u);
    EXPECT_TRUE(transport.hosts().empty());
}

TEST_F(ZoneCommandTest, ReadLoadsTheConfigurationAgain) {
    dir.write("TALLYSV.INI", "[Misc]\nSysopPassword=first\n");
    readConfiguration(settings, database, log);
    dir.write("TALLYSV.INI", "[Misc]\nWhoisTimeout=1234\nSysopPassword=new\n[Comms]\nDisableHelp=0\n");
    const size_t operators = database.operators().count();
    log.clear();
    EXPECT_EQ(type(chief, "?read"), (Lines{"Please wait...", "Settings loaded from disk"}));
    EXPECT_TRUE(log.contains("Reading TALLYSV.INI... Done.\n"));
    EXPECT_EQ(settings.whoisTimeout, 1234);
    EXPECT_FALSE(settings.disableHelp);
    // The built-in operator keeps the password it was made with.
    EXPECT_EQ(database.operators().count(), operators);
    for (const OperatorRecord* record : database.operators())
        if (!record->user) {
            EXPECT_EQ(record->password, scrambledPassword("first"));
        }
}

TEST_F(ZoneCommandTest, Version) {
    const Lines version{"Tallysv pre-release. Build 11",
                        "Core provided by Marlo. With thanks to Quince Emulator & Brackwater & RQT"};
    EXPECT_EQ(type(chief, "?version"), version);
    EXPECT_EQ(type(chief, "?verbose"), version);
}

TEST_F(ZoneCommandTest, NetworkResetForgetsEveryScore) {
    PlayerSession* a = scoredPlayer(*arena, "Ann", 2);
    PlayerSession* c = scoredPlayer(*coast, "Cid", 1);
    ASSERT_EQ(database.scores().count(), 2u);
    take(*arena, 4);
    take(*bay, 4);
    take(*coast, 4);

    EXPECT_EQ(type(chief, "?networkr"), Lines{"Recycling network for the score reset"});
    EXPECT_EQ(database.scores().count(), 0u);
    EXPECT_EQ(a->score, nullptr);
    EXPECT_EQ(c->score, nullptr);
    for (SimZone* zone : {arena, bay, coast}) {
        EXPECT_TRUE(sessionOf(*zone).scores().empty());
        EXPECT_FALSE(zoneOf(*hostOf(*zone)).scoresEnabled);
        EXPECT_EQ(orders(*zone, true), 1u);
    }
    // Scores that arrive before the zone logs in again are not kept.
    send(*arena, zoneclient::playerLeaving(2, 10, zoneclient::Scores{9, 9, 9, 9, 9}));
    EXPECT_EQ(database.scores().count(), 0u);
}

TEST_F(ZoneCommandTest, GroupResetKeepsOtherGroups) {
    PlayerSession* a = scoredPlayer(*arena, "Ann", 2);
    PlayerSession* b = scoredPlayer(*bay, "Ben", 1);
    PlayerSession* c = scoredPlayer(*coast, "Cid", 1);
    // A record of a group 3 ScoreID whose zone is not connected stays.
    UserRecord* ann = database.findUser("Ann");
    ScoreRecord* offline = database.createScore(*ann, 7);
    ScoreRecord* coastScore = c->score;
    take(*arena, 4);
    take(*bay, 4);
    take(*coast, 4);

    powers(1, 3, 0);
    EXPECT_EQ(type(chief, "?groupreset"), Lines{"Recycling zones within your group for the score reset"});
    EXPECT_EQ(a->score, nullptr);
    EXPECT_EQ(b->score, nullptr);
    EXPECT_EQ(c->score, coastScore);
    std::vector<ScoreRecord*> left(database.scores().begin(), database.scores().end());
    EXPECT_EQ(left, (std::vector<ScoreRecord*>{coastScore, offline}));
    EXPECT_TRUE(sessionOf(*arena).scores().empty());
    EXPECT_TRUE(sessionOf(*bay).scores().empty());
    EXPECT_EQ(sessionOf(*coast).scores(), std::vector<ScoreRecord*>{coastScore});
    EXPECT_FALSE(zoneOf(*hostOf(*arena)).scoresEnabled);
    EXPECT_TRUE(zoneOf(*hostOf(*coast)).scoresEnabled);
    EXPECT_EQ(orders(*arena, true), 1u);
    EXPECT_EQ(orders(*bay, true), 1u);
    EXPECT_EQ(orders(*coast, true), 0u);

    // A network-wide operator resets the group of the zone he is in.
    Seat visitor = seat(*coast, "Visitor", 2);
    makeOperator(*visitor.session, 0);
    type(visitor, "?groupreset");
    EXPECT_EQ(c->score, nullptr);
    EXPECT_EQ(database.scores().count(), 1u);
    EXPECT_EQ(orders(*coast, true), 1u);
    EXPECT_EQ(orders(*arena, true), 0u);
}

TEST_F(ZoneCommandTest, AddZone) {
    powers(1, 3, 0);
    EXPECT_EQ(type(chief, "?addzone"), Lines{"This command requires parameters. Type ?help addzone for details"});
    const Lines format{"Oops. Format: ?addzone <Score ID>:<Password>"};
    for (const char* text : {"?addzone 12", "?addzone 0:pw", "?addzone -4:pw", "?addzone x:pw",
                             "?addzone 99999999999:pw"})
        EXPECT_EQ(type(chief, text), format) << text;
    EXPECT_EQ(type(chief, "?addzone 12:secret"), Lines{"Zone registered under group 3"});
    ZoneRecord* record = database.findZone(12);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->groupID, 3);
    EXPECT_TRUE(Database::passwordMatches(record->password, "secret"));
    EXPECT_TRUE(record->BanText.empty());
    EXPECT_EQ(type(chief, "?addzone 12:other"), Lines{"Specified zone slot is already taken"});
    // The whole number: 12345678 is not 1234567.
    EXPECT_EQ(type(chief, "?addzone 12345678:pw:with:colons" + std::string(40, 'p')),
              Lines{"Zone registered under group 3"});
    ASSERT_NE(database.findZone(12345678), nullptr);
    EXPECT_EQ(database.findZone(1234567), nullptr);
    EXPECT_TRUE(Database::passwordMatches(database.findZone(12345678)->password,
                                          "pw:with:colons" + std::string(17, 'p')));

    // A zone-wide operator cannot; a network-wide one registers under the
    // zone's group, without a quota.
    powers(1, 3, 5);
    EXPECT_EQ(type(chief, "?addzone 13:pw"), Lines{"You require group-wide acess to use this command"});
    powers(0, 0, 0);
    EXPECT_EQ(type(chief, "?addzone 13:pw"), Lines{"Zone registered under group 3"});
}

TEST_F(ZoneCommandTest, ZoneQuota) {
    for (int i = 0; i < 10; ++i) database.createZone(100 + i, 3, "pw");
    powers(1, 3, 0);
    // Before the format is looked at.
    EXPECT_EQ(type(chief, "?addzone nonsense"), Lines{"You have exceeded your zone quota of 10 slots"});
    powers(1, 4, 0);
    EXPECT_EQ(type(chief, "?addzone 200:pw"), Lines{"Zone registered under group 4"});
    powers(0, 0, 0);
    EXPECT_EQ(type(chief, "?addzone 201:pw"), Lines{"Zone registered under group 3"});
}

TEST_F(ZoneCommandTest, RemoveAndChangeZone) {
    database.createZone(5, 3, "old");
    database.createZone(9, 4, "old");
    powers(1, 3, 5);  // a zone-wide operator of level 1: the whole group's registrations
    EXPECT_TRUE(type(chief, "?removezone").empty());
    EXPECT_EQ(type(chief, "?removezone 9"), Lines{"Specified zone slot is empty"});
    EXPECT_EQ(type(chief, "?removezone 7"), Lines{"Specified zone slot is empty"});
    EXPECT_EQ(type(chief, "?removezone 50000000005"), Lines{"Specified zone slot is empty"});
    EXPECT_EQ(type(chief, "?changezone"), Lines{"This command requires parameters. Type ?help changezone for details"});
    EXPECT_EQ(type(chief, "?changezone 5"), Lines{"Oops. Format: ?changezone <Score ID>:<Password>"});
    EXPECT_EQ(type(chief, "?changezone 9:new"), Lines{"Specified zone slot is empty"});
    EXPECT_EQ(type(chief, "?changezone 5:new"), Lines{"Zone password changed"});
    EXPECT_TRUE(zones.checkZonePassword(5, "new"));
    EXPECT_FALSE(zones.checkZonePassword(5, "old"));
    EXPECT_TRUE(loggedIn(*arena));  // the session goes on
    EXPECT_EQ(type(chief, "?removezone 5"), Lines{"Zone unregistered. Recycle zone for it to take effect"});
    EXPECT_EQ(database.findZone(5), nullptr);
    EXPECT_TRUE(loggedIn(*arena));
    EXPECT_NE(database.findZone(9), nullptr);
}

TEST_F(ZoneCommandTest, ListZones) {
    EXPECT_EQ(type(chief, "?listzone"),
              (Lines{"5 - {3} Online(Unregistered): Arena(1)", "6 - {3} Online(Unregistered): Bay(0)",
                     "9 - {4} Online(Unregistered): Coast(0)"}));
    database.createZone(6, 3, "pw");
    database.createZone(7, 3, "pw");
    database.createZone(9, 3, "pw");  // registered under another group than the zone's
    database.createZone(5, 3, "pw");
    connect({10, 9, 8, 7}, 4321);     // a host that has not logged in
    seat(*bay, "Bob", 1);
    EXPECT_EQ(type(chief, "?listzone"),
              (Lines{"6 - {3} Online: Bay(1)", "7 - Offline", "9 - {Invalid GroupID (3)(4)} Online: Coast(0)",
                     "5 - {3} Online: Arena(1)", "Connecting: 10.9.8.7 : 4321"}));
    powers(1, 4, 0);
    EXPECT_EQ(type(chief, "?listzone"), Lines{"No zones"});
    database.createZone(10, 4, "pw");
    EXPECT_EQ(type(chief, "?listzone"), Lines{"10 - Offline"});
}

TEST_F(ZoneCommandTest, CloseAndRecycleZones) {
    database.createZone(7, 3, "pw");  // registered, not connected
    powers(1, 3, 0);
    take(*arena, 2);
    EXPECT_EQ(type(chief, "?recyclezone"), Lines{"Recycle in progress"});
    EXPECT_EQ(orders(*arena, true), 1u);
    EXPECT_EQ(type(chief, "?recyclezone=6"), Lines{"Recycle in progress"});
    EXPECT_EQ(orders(*bay, true), 1u);
    EXPECT_EQ(type(chief, "?closezone 6"), Lines{"Shutdown in progress"});
    EXPECT_EQ(orders(*bay, false), 1u);
    EXPECT_EQ(type(chief, "?closezone"), Lines{"Shutdown in progress"});
    EXPECT_EQ(orders(*arena, false), 1u);
    for (const char* text : {"?closezone 7", "?closezone 9", "?recyclezone 9", "?recyclezone 4294967301",
                             "?closezone 0"})
        EXPECT_EQ(type(chief, text), Lines{"Specified zone slot is empty"}) << text;
    EXPECT_EQ(orders(*coast, true) + orders(*coast, false), 0u);
    // Not even one's own zone outside one's group.
    Seat visitor = seat(*coast, "Visitor", 2);
    makeOperator(*visitor.session, 1, 3, 0);
    EXPECT_EQ(type(visitor, "?recyclezone"), Lines{"Specified zone slot is empty"});
    EXPECT_EQ(orders(*coast, true), 0u);
}

TEST_F(ZoneCommandTest, ZoneIdentifiers) {
    const struct {
        uint8_t level;
        int32_t groupID, scoreID;
        bool allowed;
    } cases[] = {
        {2, 0, 0, true}, {2, 3, 0, true}, {2, 4, 0, false}, {2, 3, 5, true}, {2, 4, 5, true}, {2, 3, 6, false},
    };
    for (const auto& c : cases) {
        powers(c.level, c.groupID, c.scoreID);
        EXPECT_EQ(type(chief, "?groupid"), Lines{c.allowed ? "GroupId:3" : "You do not have access here"});
        EXPECT_EQ(type(chief, "?scoreid"), Lines{c.allowed ? "ScoreId:5" : "You do not have access here"});
    }
    powers(3, 0, 0);
    EXPECT_TRUE(type(chief, "?scoreid").empty());
}

TEST_F(ZoneCommandTest, ZoneNotifyValues) {
    database.registerUser(*chief.session->user, "Real", "mail", 1);
    powers(2, 3, 0);
    const struct {
        const char* text;
        const char* reply;
        bool on;
    } cases[] = {
        {"?notifyzone", "Zone notify is currently DISABLED", false},
        {"?notifyzone on", "Zone notify ENABLED", true},
        {"?notifyzone off", "Zone notify DISABLED", false},
        {"?notifyzone of", "Zone notify DISABLED", false},
        {"?notifyzone O", "Zone notify ENABLED", true},
        {"?notifyzone n", "Zone notify DISABLED", false},
        {"?notifyzone Y", "Zone notify ENABLED", true},
        {"?notifyzone ?", "Zone notify is currently ENABLED", true},
        {"?notifyzone 0", "Zone notify DISABLED", false},
        {"?notifyz 1 ", "Zone notify is currently DISABLED", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(type(chief, c.text), Lines{c.reply}) << c.text;
        EXPECT_EQ(chief.session->NotifyZone != 0, c.on) << c.text;
        EXPECT_EQ(chief.session->user->registration()->NotifyZone, c.on) << c.text;
    }
}

TEST_F(ZoneCommandTest, ExternalChatValues) {
    powers(2, 3, 5);  // zone-wide in Arena
    const struct {
        const char* text;
        const char* reply;
        bool on;
    } cases[] = {
        {"?extchat", "External chat ENABLED", true},
        {"?extchat off", "External chat DISABLED", false},
        {"?extchat x", "External chat DISABLED", false},
        {"?extchat on", "External chat ENABLED", true},
        {"?extchat of", "External chat DISABLED", false},
        {"?extchat T", "External chat ENABLED", true},
        {"?extchat f", "External chat DISABLED", false},
        {"?extchat y", "External chat ENABLED", true},
        {"?extchat 0", "External chat DISABLED", false},
        {"?extchat 1", "External chat ENABLED", true},
        {"?extchat N", "External chat DISABLED", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(type(chief, c.text), Lines{c.reply}) << c.text;
        EXPECT_EQ(zoneOf(*hostOf(*arena)).externalChat, c.on) << c.text;
    }
    EXPECT_TRUE(zoneOf(*hostOf(*bay)).externalChat);
}

}  // namespace
}  // namespace tallysv::testing
