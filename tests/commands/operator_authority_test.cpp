#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_fixture.h"

namespace tallysv::testing {

namespace {

// North (1) and East (3) in group 1, South (2) in group 2, all registered.
// The issuing operator types in North or in South; Victim plays in South,
// Chief is in South logged in as the built-in Network Administrator,
// Helper in South with a shared level 4 record bound to no account.
class OperatorAuthorityTest : public CommandTest {
protected:
    void SetUp() override {
        clock.setTick(100000);
        database.createZone(1, 1, "");
        database.createZone(2, 2, "");
        database.createZone(3, 1, "");
        north = &loginZone(1, 1, "North");
        south = &loginZone(2, 2, "South");
        east = &loginZone(3, 1, "East");
        database.createOperator(nullptr, 0, 0, 0, "chief");
        database.createOperator(nullptr, 0, 0, 4, "shared");
        inNorth = seat(*north, "OpNorth", 1);
        inSouth = seat(*south, "OpSouth", 1);
        victim = seat(*south, "Victim", 2);
        chief = seat(*south, "Chief", 3);
        helper = seat(*south, "Helper", 4);
        ASSERT_EQ(type(chief, "?login chief"), Lines{"Successfully logged on as Network-wide level 0"});
        ASSERT_EQ(type(helper, "?login shared"), Lines{"Successfully logged on as Network-wide level 4"});
        makeOperator(*inNorth.session, 4);
        makeOperator(*inSouth.session, 4);
        database.createUser("Gm", "pw", {10, 9, 9, 9}, 0, 0);
        fixed = static_cast<size_t>(database.operators().count());
    }

    // Everything the commands under test may change, as one text.
    std::string state() {
        std::string out;
        for (const OperatorRecord* op : database.operators())
            out += "op " + std::to_string(op->groupID) + ":" + std::to_string(op->scoreID) + ":" +
                   std::to_string(op->level) + "\n";
        for (const BanRecord* ban : database.bans())
            out += "ban " + std::string(ban->name.view()) + " " + std::to_string(ban->groupID) + ":" +
                   std::to_string(ban->scoreID) + "\n";
        for (const BanfreeRecord* banfree : database.banfrees())
            out += "banfree " + std::to_string(banfree->userID()) + " " + std::to_string(banfree->groupID) + ":" +
                   std::to_string(banfree->scoreID) + "\n";
        for (const ZoneRecord* zone : database.zones())
            out += "zone " + std::to_string(zone->scoreID()) + " " + std::string(zone->BanText.view()) + "\n";
        for (SimZone* zone : {north, south, east})
            out += "extchat " + std::to_string(zoneOf(*hostOf(*zone)).externalChat) + "\n";
        return out;
    }

    // Back to the start: the fixed operators only, no bans, three banfrees
    // (network-wide, North's, South's), open chat and no ban texts.
    void reset() {
        std::vector<OperatorRecord*> added;
        size_t index = 0;
        for (OperatorRecord* op : database.operators())
            if (index++ >= fixed) added.push_back(op);
        for (OperatorRecord* op : added) database.removeOperator(op);
        while (BanRecord* ban = database.bans().head()) database.removeBan(ban);
        while (BanfreeRecord* banfree = database.banfrees().head()) database.removeBanfree(banfree);
        database.createBanfree(1001, 0, 0);
        database.createBanfree(1002, 1, 1);
        database.createBanfree(1003, 2, 2);
        for (ZoneRecord* zone : database.zones()) zone->BanText.set("");
        for (SimZone* zone : {north, south, east}) zoneSession(*hostOf(*zone)).externalChat = true;
    }

    SimZone* north = nullptr;
    SimZone* south = nullptr;
    SimZone* east = nullptr;
    Seat inNorth{}, inSouth{}, victim{}, chief{}, helper{};
    size_t fixed = 0;
};

const char* const kOutsideSector = "You do not have authority to register administrators outside your sector";
const char* const kTargetZone = "You only have limited powers in the target zone";
const char* const kOperatorBan = "You cannot ban operators at or below your level.";
const char* const kEmptySlot = "Specified banfree slot is empty";
const char* const kNoAccess = "You do not have access here";

TEST_F(OperatorAuthorityTest, EachCommandStaysWithinTheIssuersSector) {
    const struct {
        uint8_t level;
        int32_t groupID, scoreID;  // the issuer's
        char where;                // 'N' North (group 1), 'S' South (group 2)
        const char* text;
        const char* reply;  // "{ban}" stands for the new BanID
        bool changes;
    } cases[] = {
        // A network-wide record only from a network-wide issuer.
        {1, 1, 0, 'N', "?addop -*1g Gm:pw", kOutsideSector, false},
        {1, 1, 0, 'N', "?addop -g=1*1 Gm:pw", kOutsideSector, false},
        {3, 1, 0, 'N', "?addop -*g Gm:pw", kOutsideSector, false},
        {1, 1, 1, 'N', "?addop -*1 Gm:pw", kOutsideSector, false},
        {1, 1, 0, 'N', "?addop -1g Gm:pw", "Gm: Operator level 1 added group-wide", true},
        {1, 1, 0, 'N', "?addop -1 Gm:pw", "Gm: Operator level 1 added zone-wide", true},
        {3, 1, 0, 'N', "?addop -g Gm:pw", "Gm: Operator level 4 added group-wide", true},
        {0, 0, 0, 'N', "?addop -*1 Gm:pw", "Gm: Operator level 1 added network-wide", true},
        {0, 0, 0, 'N', "?addop -*1g Gm:pw", "Gm: Operator level 1 added network-wide", true},
        // "-r" names only a zone of the issuer's sector.
        {1, 1, 0, 'N', "?ban -r=2 Victim", kTargetZone, false},
        {1, 1, 0, 'N', "?ban -g=1 -r=2 Victim", kTargetZone, false},
        {1, 1, 0, 'N', "?ban -g=2 Victim", kTargetZone, false},
        {1, 1, 3, 'N', "?ban -r=3 Victim", "Ban # {ban} added zone-wide in zone #3. Duration: 1 day(s).", true},
        {1, 1, 0, 'N', "?ban -r=3 Victim", "Ban # {ban} added zone-wide in zone #3. Duration: 1 day(s).", true},
        {1, 1, 0, 'N', "?ban -r=2 -g Victim", "Ban # {ban} added group-wide( Group1). Duration: 1 day(s).", true},
        {0, 0, 0, 'N', "?ban -r=2 Victim", "Ban # {ban} added zone-wide in zone #2. Duration: 1 day(s).", true},
        // Whom one is logged in as protects like a bound record.
        {4, 1, 0, 'N', "?ban Chief", kOperatorBan, false},
        {0, 0, 0, 'N', "?ban Chief", kOperatorBan, false},
        {4, 1, 0, 'N', "?ban Helper", kOperatorBan, false},
        {3, 1, 0, 'N', "?ban Helper", "Ban # {ban} added zone-wide. Duration: 1 day(s).", true},
        {4, 1, 0, 'N', "?ban Victim", "Ban # {ban} added zone-wide. Duration: 1 day(s).", true},
        // Banfrees 1 network-wide, 2 North's, 3 South's: only what one's
        // list shows is lifted, a network-wide one only by level 1
        // network-wide.
        {4, 2, 2, 'S', "?liftbanfree 1", kEmptySlot, false},
        {4, 2, 2, 'S', "?liftbanfree 2", kEmptySlot, false},
        {1, 2, 0, 'S', "?liftbanfree 1", kEmptySlot, false},
        {2, 0, 0, 'S', "?liftbanfree 1", kEmptySlot, false},
        {2, 0, 0, 'S', "?liftbanfree 2", kEmptySlot, false},
        {4, 2, 2, 'S', "?liftbanfree 3", "Banfree lifted", true},
        {2, 0, 0, 'N', "?liftbanfree 2", "Banfree lifted", true},
        {1, 0, 0, 'S', "?liftbanfree 1", "Banfree lifted", true},
        {1, 0, 0, 'S', "?liftbanfree 2", "Banfree lifted", true},
        // Zone settings only in a zone of one's sector; asking stays open.
        {2, 1, 0, 'S', "?extchat off", kNoAccess, false},
        {2, 1, 1, 'N', "?extchat on", "External chat ENABLED", false},
        {2, 1, 3, 'N', "?extchat off", kNoAccess, false},
        {2, 1, 0, 'S', "?extchat", "External chat ENABLED", false},
        {2, 1, 0, 'S', "?bantext Keep out", kNoAccess, false},
        {2, 1, 0, 'S', "?bantext", "Ban text: ", false},
        {2, 1, 0, 'N', "?extchat off", "External chat DISABLED", true},
        {2, 1, 1, 'N', "?bantext Keep out", "Ban text changed", true},
        {2, 0, 0, 'S', "?extchat off", "External chat DISABLED", true},
        {2, 0, 0, 'S', "?bantext Keep out", "Ban text changed", true},
    };
    for (const auto& c : cases) {
        reset();
        Seat& issuer = c.where == 'N' ? inNorth : inSouth;
        issuer.session->op->level = c.level;
        issuer.session->op->groupID = c.groupID;
        issuer.session->op->scoreID = c.scoreID;
        const std::string before = state();
        Lines replies = type(issuer, c.text);
        std::string reply = c.reply;
        if (size_t at = reply.find("{ban}"); at != std::string::npos)
            reply.replace(at, 5, std::to_string(database.lastBanID()));
        EXPECT_EQ(replies, Lines{reply}) << c.text << " by " << int(c.level) << ":" << c.groupID << ":" << c.scoreID;
        EXPECT_EQ(state() != before, c.changes) << c.text << "\n" << state();
    }
}

TEST_F(OperatorAuthorityTest, TheNetworkAdministratorStaysProtectedInHisOwnZone) {
    makeOperator(*victim.session, 4, 2, 0);
    // Victim, a moderator of group 2, stands beside Chief: no ban, no kick.
    EXPECT_EQ(type(victim, "?ban Chief"), Lines{kOperatorBan});
    EXPECT_EQ(database.bans().count(), 0u);
    EXPECT_TRUE(take(*south, 8).empty());
    // Logged out, Chief is an ordinary account again.
    EXPECT_EQ(type(chief, "?dop"), Lines{"Successfully logged out"});
    EXPECT_EQ(type(victim, "?ban -k Chief"), Lines{"Ban # 1 added zone-wide. Duration: 1 day(s)."});
}

}  // namespace
}  // namespace tallysv::testing
