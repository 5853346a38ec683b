#include <gtest/gtest.h>

#include "command_fixture.h"

namespace tallysv::testing {
namespace {

constexpr const char* kUnavailable = "  Help in this catagory is unavailable";
constexpr const char* kShortList =
    "password, details, setemail, setname, ghost, seen, chat, addchat, leavechat, notifychat, squad, find, "
    "squadcreate, squadjoin, squadlist, squadleave, squadowner";
constexpr const char* kPageLine = "(Press ESC to view the entire page. ?help <command> returns detailed info)";

class HelpTest : public CommandTest {
protected:
    void SetUp() override {
        settings.disableHelp = false;
        zone = &loginZone(9, 7, "Home");
        alice = seat(*zone, "Alice", 1);
    }
    SimZone* zone = nullptr;
    Seat alice{};
};

TEST_F(HelpTest, EveryTopicByItsWord) {
    // Typing each topic word gives that topic, also where a shorter word
    // would match first ("listbanfree" before "listban", "squad" last).
    struct Topic {
        const char* word;
        const char* firstLine;
        size_t lines;
    };
    const Topic topics[] = {
        {"password", "  The password command allows you to change the password", 6},
        {"login", "  Login passwords are assigned by network administrators", 3},
        {"dop", "  The dop command lifts your operator status", 2},
        {"addchat", "  The addchat command adds the given channel to the end", 4},
        {"leavechat", "  To leave a single chat, use the leavechat command.  You", 4},
        {"chat", "  Typing |?chat| by itself will list all channels you are", 6},
        {"extchat", "  Toggle ability to receive remote chat messages from other zones", 2},
        {"notifychat", "  Using the notifychat feature enables or disables messages", 3},
        {"notifyban", "  Using the notifyban feature enables or disables messages", 3},
        {"notifyzone", "  Using the notifyzone feature enables or disables messages", 3},
        {"details", "  Typing |?details| alone, displays your personal details", 6},
        {"setname", "  Use setname to change the name you entered in the", 5},
        {"setemail", "  Use setemail to change the address you entered in the", 5},
        {"squadjoin", "  To join a squad or change your squad, use squadjoin", 4},
        {"seen", "  Displays the last time at which the player was seen online", 2},
        {"squadleave", "  When you want to leave a squad, use squadleave.  This", 4},
        {"squadcreate", "  Createsquad will create a squad and make you the owner", 2},
        {"squadowner", "  If you are unsure of who is the current owner of a squad,", 4},
        {"find", "  The find command locates a player on the network.  It will", 6},
        {"squaddissolve", "  Squaddissolve completely removes a squad from the system", 3},
        {"squadpassword", "  Using the squadpassword command changes your squad's password,", 3},
        {"squadkick", "  Whenever you would like to ban a player from your squad, use", 3},
        {"squadgrant", "  Ever want to transfer zone ownership to another player?", 3},
        {"squadlist", "  List the members of your squad", 2},
        {"squadname", "  Squadname allows you to rename your squad.  Members will NOT", 4},
        {"write", "  Activate the database save function.  Use sparingly", 2},
        {"read", "  Re-read TALLYSV.INI, to update biller settings without", 3},
        {"alias", "  Find the other names a player has used.  Match types(in order of testing):", 6},
        {"adduser", "  Create a new user account with the given name and password", 2},
        {"changesquad", "  Change the given squad's owner", 2},
        {"changepassword", "  Change the given player's password", 2},
        {"changename", "  Change the player's name.  Score information, ban status, squad", 3},
        {"**", "  Mods use *arena. SMods use *zone. SysOps use **", 5},
        {"liftbanfree", "  To remove a banfree, use listbanfree to retrieve the banfree number", 3},
        {"listbanfree", "  List players who cannot be banned in the current zone", 6},
        {"banfree", "  Players who are banfreed cannot be banned in the current zone", 4},
        {"bantext", "  This command does NOT change player ban comments - it changes the", 3},
        {"ban", "  The ban command filters access to your network.  Switches come", 13},
        {"listban", "  List all bans within your sector of the network.  Bans may not be zone-wide:", 8},
        {"commentban", "  To add a ban comment, use listban to retrieve the ban number", 3},
        {"liftban", "  To remove a ban, use listban to retrieve the ban number", 3},
        {"listzone", "  List all logged hosts, and display registration and connection status", 9},
        {"closezone", "  To shutdown a zone, use listzone to get the zone's score id,", 3},
        {"recyclezone", "  To recycle a zone, use listzone to get the zone's score id,", 3},
        {"addzone", "  Addzone assigns private passwords to new zones entering the", 6},
        {"removezone", "  Removezone will unregister a zone password, but will not", 3},
        {"changezone", "  Changezone changes a zone's password.  This password is secure", 2},
        {"ver", "  This billing sysop command displays build information that", 4},
        {"squad", "  Shows what squad the player is in", 2},
        {"ghost", "  The ghost command makes you invisible to the find and whois", 3},
        {"whois", "  Retrieve player operator status.  Ghosting disables this command", 2},
        {"info", "  Shows database entry contents for given user including ban info", 2},
        {"scoreid", "  Shows current zone's score id", 2},
        {"groupid", "  Shows current zone's group id", 2},
        {"group", "  Tallyman2 commands have varying potency depending on operator", 8},
        {"level", "  Tallyman2 uses an access-system for operators based on zone", 8},
        {"addop", "  ?login <password> can be set to allow private passwords using", 8},
        {"listop", "  List registered operators.  Type ?help level or ?help group for info.", 5},
        {"changeop", "  The changeop command allows you to change an operator's password.", 6},
        {"removeop", "  The removeop command deletes an operator's private ?login password.", 3},
        {"block", "  Toggles between the Block states:", 4},
        {"help", "  Moo.  Moo, moo.  Moo; moo moo", 2},
        {"me", "  For starters, stop playing Voidrift.  Then, pat yourself", 5},
        {"yourself", "  I try.  But, being part of a single-state machine does not help", 1},
    };
    for (const Topic& t : topics) {
        Lines replies = type(alice, std::string("?help ") + t.word);
        ASSERT_EQ(replies.size(), t.lines) << t.word;
        EXPECT_EQ(replies[0], t.firstLine) << t.word;
    }
}

TEST_F(HelpTest, TopicMatching) {
    struct Case {
        const char* text;
        const char* firstLine;
    };
    const Case cases[] = {
        {"?help version", "  This billing sysop command displays build information that"},
        {"?help verify", "  This billing sysop command displays build information that"},
        {"?help groups", "  Tallyman2 commands have varying potency depending on operator"},
        {"?help levels", "  Tallyman2 uses an access-system for operators based on zone"},
        {"?help passwords", "  The password command allows you to change the password"},
        {"?help message", "  For starters, stop playing Voidrift.  Then, pat yourself"},
        {"?help notifycheese", "  Using the notifychat feature enables or disables messages"},
        {"?help ?ban", "  The ban command filters access to your network.  Switches come"},
        {"?help  ? ban", "  The ban command filters access to your network.  Switches come"},
        {"?help bantext", "  This command does NOT change player ban comments - it changes the"},
        {"?help logins", kUnavailable},
        {"?help whoisx", kUnavailable},
        {"?help Ban", kUnavailable},
        {"?help ab", kUnavailable},
        {"?help moo", kUnavailable},
        {"?helpless", kUnavailable},
    };
    for (const Case& c : cases) {
        Lines replies = type(alice, c.text);
        ASSERT_FALSE(replies.empty()) << c.text;
        EXPECT_EQ(replies[0], c.firstLine) << c.text;
    }
    EXPECT_EQ(type(alice, "?moo"), Lines{});
}

TEST_F(HelpTest, CommandLists) {
    EXPECT_EQ(type(alice, "?help"),
              (Lines{kShortList, "***************************************************************************",
                     "WARNING: You have not sent registration form data. Some commands",
                     "         will not function and some settings will not be saved.",
                     "To send registration form data, enter any zone on the network with Voidrift"}));
    EXPECT_EQ(type(alice, "?help x").size(), 5u);
    // A registered squad owner at operator level 2.
    database.registerUser(*alice.session->user, "A", "a@b", 1);
    database.addSquadMember(*database.createSquad("Owls", "pw", alice.session->user), *alice.session->user);
    alice.session->op = database.createOperator(alice.session->user, 0, 0, 2, "op");
    EXPECT_EQ(type(alice, "?help"),
              (Lines{"password, details, setemail, setname, ghost, seen, chat, addchat, leavechat, notifychat, "
                     "squad, find, squadcreate, squadjoin, squadlist, squadleave, squadowner, squaddissolve, "
                     "squadpassword, squadkick, squadgrant, squadname",
                     "2: bantext, **message, extchat, notifyzone, groupid, scoreid", "3: addop, removeop, info",
                     "4: login, changeop, listop, whois, adduser, alias, ban, listban, liftban, commentban, "
                     "notifyban, dop, banfree, listbanfree, liftbanfree",
                     kPageLine}));
    alice.session->op->level = 0;
    EXPECT_EQ(type(alice, "?help").size(), 7u);
    alice.session->op->level = 9;
    EXPECT_EQ(type(alice, "?help").size(), 2u);
    // A member who does not own the squad gets the short list.
    Seat bob = seat(*zone, "Bob", 2);
    database.registerUser(*bob.session->user, "B", "b@c", 2);
    database.addSquadMember(*database.findSquad("owls"), *bob.session->user);
    EXPECT_EQ(type(bob, "?help"), (Lines{kShortList, kPageLine}));
}

TEST_F(HelpTest, DisabledHelpIsNoCommand) {
    settings.disableHelp = true;
    EXPECT_EQ(type(alice, "?help"), Lines{});
    EXPECT_EQ(type(alice, "?help ban"), Lines{});
}

}  // namespace
}  // namespace tallysv::testing
