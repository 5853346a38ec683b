#include <gtest/gtest.h>

#include "command_fixture.h"
#include "core/time_helpers.h"

namespace tallysv::testing {
namespace {

constexpr const char* kNotRegistered =
    "This feature may only be used by registered players. Log in once with ZEK Voidrift to get a registration form";

class SelfServiceTest : public CommandTest {
protected:
    void SetUp() override {
        home = &loginZone(9, 7, "Home");
        alice = seat(*home, "Alice", 1);
        bob = seat(*home, "Bob", 2);
    }
    User2Record* registerPlayer(Seat& who) {
        return database.registerUser(*who.session->user, "Real Name", "a@b.c", 1234);
    }
    SimZone* home = nullptr;
    Seat alice{}, bob{};
};

TEST_F(SelfServiceTest, CoinSendsOneOfTwoLines) {
    int heads = 0;
    for (int i = 0; i < 40; ++i) {
        Lines replies = type(alice, i % 2 ? "?coin" : "?coin toss");
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_TRUE(replies[0] == "Heads!" || replies[0] == "Tails!") << replies[0];
        heads += replies[0] == "Heads!";
    }
    EXPECT_GT(heads, 0);
    EXPECT_LT(heads, 40);
}

TEST_F(SelfServiceTest, PasswordChange) {
    EXPECT_EQ(type(alice, "?password"), Lines{"SYNTAX: ?password=<new password>"});
    EXPECT_EQ(type(alice, "?password="), Lines{"SYNTAX: ?password=<new password>"});
    EXPECT_EQ(type(alice, "?password=k"), Lines{"Password changed"});
    EXPECT_EQ(alice.session->user->password, scrambledPassword("k"));
    std::string longest(40, 'p');
    EXPECT_EQ(type(alice, "?password " + longest), Lines{"Password changed"});
    EXPECT_EQ(alice.session->user->password, scrambledPassword(longest.substr(0, 31)));
}

TEST_F(SelfServiceTest, RegistrationCommands) {
    for (const char* text : {"?details", "?details=x", "?details Bob", "?setname x", "?setemail x"})
        EXPECT_EQ(type(alice, text), Lines{kNotRegistered}) << text;
    User2Record* mine = registerPlayer(alice);
    EXPECT_EQ(type(alice, "?details"), (Lines{"Name: Real Name", "Email: a@b.c", "Details: (No details)"}));
    EXPECT_EQ(type(alice, "?details Bob"), Lines{"Player is unregistered"});
    EXPECT_EQ(type(alice, "?details  Nobody"), Lines{"Unable to find specified user"});
    registerPlayer(bob);
    EXPECT_EQ(type(alice, "?details   bob  "), (Lines{"Name: Real Name", "Email: a@b.c", "Details: (No details)"}));
    EXPECT_EQ(type(alice, "?details=" + std::string(200, 'd')), Lines{"Details changed"});
    EXPECT_EQ(mine->details.view(), std::string(127, 'd'));
    EXPECT_EQ(type(alice, "?details="), Lines{"Details changed"});
    EXPECT_EQ(mine->details.view(), "");
    EXPECT_EQ(type(alice, "?setname=Al Ice"), Lines{"Registered name changed"});
    EXPECT_EQ(mine->realName.view(), "Al Ice");
    EXPECT_EQ(type(alice, "?setname"), Lines{"Registered name changed"});
    EXPECT_EQ(mine->realName.view(), "");
    EXPECT_EQ(type(alice, "?setemail=" + std::string(40, 'e')), Lines{"Registered email address changed"});
    EXPECT_EQ(mine->email.view(), std::string(31, 'e'));
    EXPECT_EQ(type(alice, "?setemail"), Lines{"Registered email address changed"});
    EXPECT_EQ(mine->email.view(), "");
}

TEST_F(SelfServiceTest, GhostForms) {
    struct Case {
        const char* text;
        const char* reply;
        uint8_t after;
    };
    const Case cases[] = {
        {"?ghost", "Ghosting is currently DISABLED", 0}, {"?ghost on", "Ghosting ENABLED", 1},
        {"?ghost t", "Ghosting is currently ENABLED", 1}, {"?ghost off", "Ghosting DISABLED", 0},
        {"?ghost Y", "Ghosting ENABLED", 1},          {"?ghost n", "Ghosting DISABLED", 0},
        {"?ghost 1", "Ghosting ENABLED", 1},          {"?ghost 0", "Ghosting DISABLED", 0},
        {"?ghost o", "Ghosting ENABLED", 1},          {"?ghost OF", "Ghosting DISABLED", 0},
        {"?ghost=yes", "Ghosting ENABLED", 1},        {"?ghost", "Ghosting is currently ENABLED", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(type(alice, c.text), Lines{c.reply}) << c.text;
        EXPECT_EQ(alice.session->ghosting, c.after) << c.text;
    }
}

TEST_F(SelfServiceTest, SeenInTheAskersTimeZone) {
    // Bob's last login at 2001-03-07 12:05:04 UTC; Alice lives 3 hours
    // west, Bob 5 hours east.
    bob.session->user->lastLogin = 983966704;
    bob.session->user->timeZoneBias = -300;
    alice.session->user->timeZoneBias = 180;
    EXPECT_EQ(type(alice, "?seen bob"), Lines{"Bob last seen: 3-07-2001 9:05.04"});
    alice.session->user->lastLogin = 983966704;
    EXPECT_EQ(type(alice, "?seen"), Lines{"Alice last seen: 3-07-2001 9:05.04"});
    EXPECT_EQ(type(alice, "?seen Nobody"), Lines{"Specified player does not exist"});
    bob.session->user->lastLogin = -5;
    EXPECT_EQ(type(alice, "?seen Bob"), Lines{"Bob last seen: (Invalid date)"});
}

TEST_F(SelfServiceTest, FindAcrossZones) {
    EXPECT_EQ(type(alice, "?find"), Lines{"This command requires parameters. Type ?help find for details"});
    EXPECT_EQ(type(alice, "?find "), Lines{"This command requires parameters. Type ?help find for details"});
    // A name beginning is looked for in the other zones only.
    EXPECT_EQ(type(alice, "?find Bo"), Lines{"User offline"});
    EXPECT_EQ(type(alice, "?find :bob"), Lines{"Bob is in Home"});
    SimZone& away = loginZone(10, 7, "Away");
    seat(away, "Bobby", 3);
    EXPECT_EQ(type(alice, "?find bo"), Lines{"Bobby is in Away"});
    EXPECT_EQ(type(alice, "?find :Bob"), Lines{"Bob is in Home"});
    bob.session->ghosting = 1;
    EXPECT_EQ(type(alice, "?find :Bob"), Lines{"User offline"});
    // Six replies at most.
    for (int i = 0; i < 8; ++i) {
        SimZone& zone = loginZone(20 + i, 7, "Zone" + std::to_string(i));
        seat(zone, "Finder" + std::to_string(i), 100 + i);
    }
    Lines found = type(alice, "?find Find");
    ASSERT_EQ(found.size(), 6u);
    EXPECT_EQ(found[0], "Finder0 is in Zone0");
    EXPECT_EQ(found[5], "Finder5 is in Zone5");
}

}  // namespace
}  // namespace tallysv::testing
