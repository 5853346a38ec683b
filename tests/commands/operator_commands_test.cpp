#include <gtest/gtest.h>

#include "command_fixture.h"

namespace tallysv::testing {
namespace {

// Two zones of group 7; the built-in operator has the password "sysop".
class OperatorCommandsTest : public CommandTest {
protected:
    void SetUp() override {
        arena = &loginZone(9, 7, "Arena One");
        other = &loginZone(5, 7, "Other");
        sysop = database.createOperator(nullptr, 0, 0, 0, "sysop");
        alice = seat(*arena, "Alice", 1);
        bob = seat(*other, "Bob", 2);
        carol = seat(*arena, "Carol", 3);
    }
    OperatorRecord* addOperator(const char* user, int32_t groupID, int32_t scoreID, uint8_t level,
                                const char* password) {
        return database.createOperator(database.findUser(user), groupID, scoreID, level, password);
    }
    // The operator records as "user:group:score:level".
    std::vector<std::string> operatorList() const {
        std::vector<std::string> out;
        for (const OperatorRecord* op : database.operators())
            out.push_back(std::string(op->user ? op->user->name() : "~") + ":" + std::to_string(op->groupID) + ":" +
                          std::to_string(op->scoreID) + ":" + std::to_string(op->level));
        return out;
    }
    SimZone* arena = nullptr;
    SimZone* other = nullptr;
    OperatorRecord* sysop = nullptr;
    Seat alice{}, bob{}, carol{};
};

TEST_F(OperatorCommandsTest, LoginAndLogout) {
    EXPECT_EQ(type(alice, "?login"), Lines{"SYNTAX: ?login <password>"});
    EXPECT_EQ(type(alice, "?login "), Lines{"SYNTAX: ?login <password>"});
    EXPECT_EQ(type(alice, "?login wrong"), Lines{});
    EXPECT_EQ(alice.session->op, nullptr);
    EXPECT_EQ(type(alice, "?login=sysop"), Lines{"Successfully logged on as Network-wide level 0"});
    EXPECT_EQ(alice.session->op, sysop);
    EXPECT_EQ(sysop->sessionCount, 1);
    EXPECT_EQ(type(alice, "?login wrong"),
              Lines{"Already logged on as an Operator. Use ?dop to lift Operator status"});
    EXPECT_EQ(type(alice, "?dop"), Lines{"Successfully logged out"});
    EXPECT_EQ(sysop->sessionCount, 0);
    EXPECT_EQ(type(alice, "?deop"), Lines{});
    EXPECT_EQ(type(alice, "?login sysop"), Lines{"Successfully logged on as Network-wide level 0"});
    EXPECT_EQ(type(alice, "?deop please"), Lines{"Successfully logged out"});
}

TEST_F(OperatorCommandsTest, LoginSectorsAndLimitedPowers) {
    addOperator("Bob", 7, 9, 3, "zonepw");  // zone-wide in Arena One
    addOperator("Carol", 8, 0, 2, "grouppw");
    addOperator("Alice", 0, 5, 4, "odd");  // labelled network-wide, power only in zone 5
    EXPECT_EQ(type(bob, "?login zonepw"),
              (Lines{"Successfully logged on as Zone-wide Operator level 3", "You only have limited powers in this zone"}));
    EXPECT_EQ(type(carol, "?login grouppw"), (Lines{"Successfully logged on as Group-wide Operator level 2",
                                                   "You only have limited powers in this zone"}));
    EXPECT_EQ(type(alice, "?login odd"),
              (Lines{"Successfully logged on as Network-wide level 4", "You only have limited powers in this zone"}));
    // A record bound to an account serves no one else.
    EXPECT_EQ(type(carol, "?dop"), Lines{"Successfully logged out"});
    EXPECT_EQ(type(carol, "?login zonepw"), Lines{});
}

TEST_F(OperatorCommandsTest, EmptyPasswordNeverLogsIn) {
    // The default SysopPassword is empty; ?changeop N: can empty any entry.
    sysop->password = scrambledPassword("");
    Bytes message = zoneclient::command(alice.playerID, "?login ");
    message.insert(message.end() - 1, {0, 'x', 'y'});  // a NUL at position 7
    EXPECT_EQ(typeRaw(alice, message), Lines{});
    EXPECT_EQ(alice.session->op, nullptr);
    addOperator("Alice", 0, 0, 0, "mine");
    EXPECT_EQ(type(alice, "?login mine"), Lines{"Successfully logged on as Network-wide level 0"});
    EXPECT_EQ(type(alice, "?changeop 2:"), Lines{"Operator password changed"});
    type(alice, "?dop");
    EXPECT_EQ(typeRaw(alice, message), Lines{});
    EXPECT_EQ(alice.session->op, nullptr);
}

TEST_F(OperatorCommandsTest, Whois) {
    EXPECT_EQ(type(alice, "?whois"), Lines{"User not logged in"});
    type(alice, "?login sysop");
    EXPECT_EQ(type(alice, "?whois"), Lines{"Logged on as network-wide operator level 0 - Network Administrator"});
    EXPECT_EQ(type(bob, "?whois alice"), Lines{"Logged on as network-wide operator level 0 - Network Administrator"});
    EXPECT_EQ(type(bob, "?whois Carol"), Lines{"User not logged in"});
    EXPECT_EQ(type(bob, "?whois Nobody"), Lines{"User not logged in"});
    addOperator("Bob", 7, 0, 1, "g");
    addOperator("Carol", 7, 9, 4, "z");
    type(bob, "?login g");
    type(carol, "?login z");
    EXPECT_EQ(type(alice, "?whois Bob"), Lines{"Logged on as group-wide operator level 1 - Group Manager"});
    EXPECT_EQ(type(alice, "?whois Carol"), Lines{"Logged on as zone-wide operator level 4 - Moderator"});
    // A ghosting player is passed over; nobody else of that name is found.
    carol.session->ghosting = 1;
    EXPECT_EQ(type(alice, "?whois Carol"), Lines{"User not logged in"});
}

TEST_F(OperatorCommandsTest, AddopSwitchesAndChecks) {
    type(alice, "?login sysop");
    struct Case {
        const char* text;
        const char* reply;
        const char* record;  // the new record, or none
    };
    const Case cases[] = {
        {"?addop", "This command requires parameters. Type ?help addop for details", nullptr},
        {"?addop   ", "This command requires parameters. Type ?help addop for details", nullptr},
        {"?addop -3 ", "This command requires parameters. Type ?help addop for details", nullptr},
        {"?addop -5 Bob:pw", "Invalid switch", nullptr},
        {"?addop -", "Invalid switch", nullptr},
        {"?addop -g", "Invalid switch", nullptr},
        {"?addop -g=12345678 Bob:pw", "Invalid switch", nullptr},
        {"?addop -g=123", "Invalid switch", nullptr},
        {"?addop Bob", "Invalid parameters. Type ?help addop for details", nullptr},
        {"?addop Nobody:pw", "Specified player not found", nullptr},
        {"?addop bob:pw", "bob: Operator level 4 added zone-wide", "Bob:7:9:4"},
        {"?addop -*3 Bob:pw", "Bob: Operator level 3 added network-wide", "Bob:0:0:3"},
        {"?addop -g Carol:pw", "Carol: Operator level 4 added group-wide", "Carol:7:0:4"},
        {"?addop -g=1234567 -1 Carol:pw", "Carol: Operator level 1 added group-wide", "Carol:1234567:0:1"},
        {"?addop -2g=12 Carol:pw", "Carol: Operator level 2 added group-wide", "Carol:12:0:2"},
        {"?addop -g=0 Carol:pw", "Carol: Operator level 4 added group-wide", "Carol:7:0:4"},
        {"?addop -x Bob:pw", "Invalid switch", nullptr},
        {"?addop --3 Bob:pw", "Invalid switch", nullptr},
        {"?addop -g=5x Bob:pw", "Invalid switch", nullptr},
        {"?addop -3  -", "Invalid switch", nullptr},
        {"?addop - Bob:x", "Bob: Operator level 4 added zone-wide", "Bob:7:9:4"},
    };
    for (const Case& c : cases) {
        size_t before = database.operators().count();
        EXPECT_EQ(type(alice, c.text), Lines{c.reply}) << c.text;
        if (c.record) {
            ASSERT_EQ(database.operators().count(), before + 1) << c.text;
            EXPECT_EQ(operatorList().back(), c.record) << c.text;
        } else {
            EXPECT_EQ(database.operators().count(), before) << c.text;
        }
    }
    // The password is the text after the colon.
    EXPECT_EQ(database.operators().tail()->password, scrambledPassword("x"));
}

TEST_F(OperatorCommandsTest, AddopAuthority) {
    addOperator("Bob", 0, 0, 3, "smod");
    addOperator("Carol", 7, 0, 1, "gm");
    addOperator("Alice", 7, 5, 2, "zs");  // zone-wide in the other zone
    type(bob, "?login smod");
    type(carol, "?login gm");
    type(alice, "?login zs");
    EXPECT_EQ(type(bob, "?addop -3 Alice:pw"), Lines{"You do not have authority to register administrators below your level"});
    EXPECT_EQ(type(bob, "?addop -4 Alice:pw"), Lines{"Alice: Operator level 4 added zone-wide"});
    EXPECT_EQ(type(carol, "?addop -1 Bob:pw"), Lines{"Bob: Operator level 1 added zone-wide"});
    EXPECT_EQ(type(carol, "?addop -0 Bob:pw"), Lines{"You do not have authority to register administrators below your level"});
    EXPECT_EQ(type(carol, "?addop -* Bob:pw"), Lines{"You do not have authority to register administrators outside your sector"});
    EXPECT_EQ(type(carol, "?addop -g=8 Bob:pw"), Lines{"You do not have authority to register administrators outside your sector"});
    // A zone-wide operator adds only in his own zone, and never group-wide.
    EXPECT_EQ(type(alice, "?addop Carol:pw"), Lines{"You do not have authority to register administrators outside your sector"});
    Seat dave = seat(*other, "Dave", 4);
    addOperator("Dave", 7, 5, 2, "dz");
    type(dave, "?login dz");
    EXPECT_EQ(type(dave, "?addop -g Carol:pw"), Lines{"You do not have authority to register administrators outside your sector"});
    EXPECT_EQ(type(dave, "?addop -1 Carol:pw"), Lines{"You do not have authority to register administrators below your level"});
    EXPECT_EQ(type(dave, "?addop -2 Carol:pw"), Lines{"Carol: Operator level 2 added zone-wide"});
    EXPECT_EQ(operatorList().back(), "Carol:7:5:2");
    EXPECT_EQ(database.operators().count(), 8u);
}

TEST_F(OperatorCommandsTest, ListopLinesTagsAndCounts) {
    addOperator("Bob", 7, 0, 1, "gm");
    addOperator("Carol", 7, 9, 4, "mod");
    addOperator("Carol", 3, 77, 4, "far");  // zone not connected
    type(alice, "?login sysop");
    type(bob, "?login gm");
    EXPECT_EQ(type(alice, "?listop"),
              (Lines{"1*) ~guest:0 -> 1 session", "2$) {7} Bob:1 -> 1 session", "3) {7:Arena One> Carol:4",
                     "4) {3:77> Carol:4"}));
    EXPECT_EQ(type(bob, "?listop"), (Lines{"1$) Bob:1 -> 1 session", "2) <Arena One> Carol:4"}));
    Seat second = seat(*arena, "Dave", 4);
    type(second, "?login sysop");
    EXPECT_EQ(type(alice, "?listop")[0], "1*) ~guest:0 -> 2 sessions");
    // A zone-wide operator elsewhere has limited powers; one who sees
    // nothing is told so.
    type(carol, "?login mod");
    EXPECT_EQ(type(carol, "?listop"), (Lines{"1) Carol:4 -> 1 session"}));
    addOperator("Carol", 3, 0, 4, "far2");
    type(carol, "?dop");
    type(carol, "?login far2");
    EXPECT_EQ(type(carol, "?listop"), Lines{"You only have limited powers in this zone"});
    // A zone-wide operator sees the sector of the zone's group: a zone
    // that came back under another group shows him nothing.
    SimZone& island = loginZone(11, 8, "Island");
    Seat eve = seat(island, "Eve", 5);
    addOperator("Eve", 7, 11, 4, "eve");
    type(eve, "?login eve");
    EXPECT_EQ(type(eve, "?listop"), Lines{"No operators."});
    // Nobody without an operator login reaches ?listop.
    EXPECT_EQ(type(second, "?dop").size(), 1u);
    EXPECT_EQ(type(second, "?listop"), Lines{});
}

TEST_F(OperatorCommandsTest, RemoveopAndChangeop) {
    addOperator("Bob", 7, 0, 1, "gm");
    addOperator("Carol", 7, 0, 3, "smod");
    addOperator("Carol", 7, 0, 4, "mod");
    type(bob, "?login gm");
    type(carol, "?login smod");
    // Bob (level 1, group 7) numbers: 1 Bob, 2 Carol:3, 3 Carol:4.
    // Carol (level 3) sees levels 2 and up of group 7: 1 Carol:3, 2 Carol:4.
    EXPECT_EQ(type(carol, "?removeop"), Lines{"This command requires parameters. Type ?help removeop for details"});
    EXPECT_EQ(type(carol, "?removeop 3"), Lines{"Specified operator slot is empty"});
    EXPECT_EQ(type(carol, "?removeop x"), Lines{"Specified operator slot is empty"});
    EXPECT_EQ(type(carol, "?changeop 1:new"), Lines{"Operator password changed"});  // her own
    EXPECT_EQ(database.operators().head()->tableNext()->tableNext()->password, scrambledPassword("new"));
    EXPECT_EQ(type(carol, "?changeop 2:x"), Lines{"Operator password changed"});
    EXPECT_EQ(type(bob, "?changeop 1:"), Lines{"Operator password changed"});
    EXPECT_EQ(type(bob, "?changeop   9:"), Lines{"Specified operator slot is empty"});
    EXPECT_EQ(type(bob, "?changeop solo"), Lines{"Your operator password is changed"});
    EXPECT_EQ(database.operators().head()->tableNext()->password, scrambledPassword("solo"));
    // Level 3 may not touch level 3 but may remove his own entry; the
    // sessions using it lose their login.
    addOperator("Alice", 7, 0, 3, "peer");
    EXPECT_EQ(type(carol, "?removeop 3"),
              Lines{"You do not have authority to remove administrators at or below your level"});
    EXPECT_EQ(type(carol, "?changeop 3:x"),
              Lines{"You do not have authority to change administrators' passwords at or below your level"});
    EXPECT_EQ(type(carol, "?removeop 1"), Lines{"Operator unregistered. All active sessions with this operator are closed"});
    EXPECT_EQ(carol.session->op, nullptr);
    EXPECT_EQ(type(bob, "?removeop 2"), Lines{"Operator unregistered. All active sessions with this operator are closed"});
    EXPECT_EQ(operatorList(), (std::vector<std::string>{"~:0:0:0", "Bob:7:0:1", "Alice:7:0:3"}));
}

TEST_F(OperatorCommandsTest, ChangeopOwnPasswordForModerators) {
    addOperator("Bob", 7, 0, 4, "mod");
    type(bob, "?login mod");
    EXPECT_EQ(type(bob, "?changeop"), Lines{"This command requires parameters. Type ?help changeop for details"});
    // Level 4 reaches only the own-password form: a number and a colon
    // are part of the new password.
    EXPECT_EQ(type(bob, "?changeop 1:abc"), Lines{"Operator password changed"});
    EXPECT_EQ(database.operators().tail()->password, scrambledPassword("1:abc"));
    EXPECT_EQ(sysop->password, scrambledPassword("sysop"));
}

}  // namespace
}  // namespace tallysv::testing
