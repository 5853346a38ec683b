#include <gtest/gtest.h>

#include <random>

#include "command_fixture.h"

namespace tallysv::testing {
namespace {

constexpr const char* kJoined = "Squad successfully joined. Exit zone for it to take effect";
constexpr const char* kCreated = "Squad successfully created and joined. Exit zone for it to take effect";
constexpr const char* kLeft = "Squad successfully left. Exit zone for it to take effect";

class SquadCommandsTest : public CommandTest {
protected:
    void SetUp() override {
        zone = &loginZone(4, 1, "Base");
        alice = seat(*zone, "Alice", 1);
        bob = seat(*zone, "Bob", 2);
        carl = seat(*zone, "Carl", 3);
    }
    UserRecord& userOf(const Seat& s) { return *s.session->user; }
    // Every squad's member list agrees with its members' squad, and no
    // account outside the users table is linked.
    void expectMembershipHolds(const Database& db) {
        for (const SquadRecord* squad : db.squads()) {
            for (const UserRecord* member : squad->members()) {
                EXPECT_EQ(member->squad, squad) << member->nameText() << " in " << squad->nameText();
                EXPECT_EQ(db.findUserByID(member->userID()), member);
            }
            if (squad->owner) {
                EXPECT_EQ(db.findUserByID(squad->owner->userID()), squad->owner);
            }
        }
        for (const UserRecord* user : db.users()) {
            if (!user->squad) continue;
            const auto& members = user->squad->members();
            EXPECT_EQ(std::count(members.begin(), members.end(), user), 1) << user->nameText();
        }
    }
    SimZone* zone = nullptr;
    Seat alice{}, bob{}, carl{};
};

// Syntax replies and refusals of a player who has no squad, by argument form.
TEST_F(SquadCommandsTest, ArgumentFormsWithoutASquad) {
    struct Case {
        const char* text;
        Lines replies;
    };
    const Case cases[] = {
        {"?squadowner", {"SYNTAX: ?squadowner <squad name>"}},
        {"?squadowner=", {"SYNTAX: ?squadowner <squad name>"}},
        {"?squadowner=X", {"Specified squad does not exist"}},
        {"?squadjoin", {"SYNTAX: ?squadjoin=<squad name>:<squad password>"}},
        {"?squadjoin=", {"SYNTAX: ?squadjoin=<squad name>:<squad password>"}},
        {"?squadjoin=X", {"Specified squad does not exist"}},
        {"?squadjoin=X:pw", {"Specified squad does not exist"}},
        {"?squadcreate", {"SYNTAX: ?squadcreate=<squad name>:<squad password>"}},
        {"?squadcreate=", {"SYNTAX: ?squadcreate=<squad name>:<squad password>"}},
        {"?squadcreate=Name", {}},
        {"?squadcreate=ThisNameRunsOnFarPastThirtyOneCharacters:pw", {}},
        {"?squaddissolve", {"You are not on a squad"}},
        {"?squaddiss", {"You are not on a squad"}},
        {"?squadpassword", {"This command requires parameters. Type ?help squadpassword for details"}},
        {"?squadpassword=", {"This command requires parameters. Type ?help squadpassword for details"}},
        {"?squadpassword=x", {"You are not on a squad"}},
        {"?squadname", {"This command requires parameters. Type ?help squadname for details"}},
        {"?squadname=x", {"You are not on a squad"}},
        {"?squadkick=", {"This command requires parameters. Type ?help squadkick for details"}},
        {"?squadkick=x", {"You are not on a squad"}},
        {"?squadlist", {"You are not on a squad"}},
        {"?squadli", {"You are not on a squad"}},
        {"?squadgrant", {"You are not on a squad"}},
        {"?squadgrant=Bob", {"You are not on a squad"}},
        {"?squadleave", {kLeft}},
        {"?squadlea", {kLeft}},
        {"?squad", {"You have no squad"}},
        {"?squad=B", {"You have no squad"}},  // length 8 asks about oneself
        {"?squad=Bob", {"Bob has no squad"}},
        {"?squad=Nobody", {"Specified player does not exist"}},
    };
    for (const Case& c : cases) EXPECT_EQ(type(alice, c.text), c.replies) << c.text;
    EXPECT_TRUE(database.squads().empty());
}

TEST_F(SquadCommandsTest, CreateJoinAndLookUp) {
    // The name is cleaned of blanks; the password is taken as typed.
    EXPECT_EQ(type(alice, "?squadcreate=  My   Squad :se cret"), Lines{kCreated});
    SquadRecord* squad = database.findSquad("My Squad");
    ASSERT_NE(squad, nullptr);
    EXPECT_EQ(squad->owner, &userOf(alice));
    EXPECT_EQ(squad->members(), std::vector<UserRecord*>{&userOf(alice)});
    EXPECT_EQ(squad->password, scrambledPassword("se cret"));
    EXPECT_EQ(type(bob, "?squadcreate=my squad:x"), Lines{"Specified squad already exists"});

    EXPECT_EQ(type(bob, "?squadjoin=My Squad:secret"), Lines{"Invalid password for specified squad"});
    EXPECT_EQ(type(bob, "?squadjoin=My Squad"), Lines{"You are not squad owner"});
    EXPECT_EQ(userOf(bob).squad, nullptr);
    EXPECT_EQ(type(bob, "?squadjoin=MY SQUAD:se cret"), Lines{kJoined});
    // The owner joins with any password, or none.
    EXPECT_EQ(type(alice, "?squadjoin=My Squad:wrong"), Lines{kJoined});
    EXPECT_EQ(type(alice, "?squadjoin=My Squad"), Lines{kJoined});
    EXPECT_EQ(squad->members(), (std::vector<UserRecord*>{&userOf(alice), &userOf(bob)}));

    EXPECT_EQ(type(carl, "?squadowner=my squad"), Lines{"My Squad owner: Alice"});
    EXPECT_EQ(type(alice, "?squad"), Lines{"Alice's squad is My Squad"});
    EXPECT_EQ(type(carl, "?squad=bob"), Lines{"Bob's squad is My Squad"});
    EXPECT_EQ(type(carl, "?squad"), Lines{"You have no squad"});
    EXPECT_EQ(type(bob, "?squadlist"), Lines{"Squadmates: Alice,Bob"});

    // Creating a squad leaves the old one; the old owner stays its owner.
    EXPECT_EQ(type(alice, "?squadcreate=Second:pw"), Lines{kCreated});
    EXPECT_EQ(squad->members(), std::vector<UserRecord*>{&userOf(bob)});
    EXPECT_EQ(squad->owner, &userOf(alice));
    EXPECT_EQ(type(bob, "?squadleave"), Lines{kLeft});
    EXPECT_TRUE(squad->members().empty());
    EXPECT_EQ(userOf(bob).squad, nullptr);
    expectMembershipHolds(database);
}

TEST_F(SquadCommandsTest, PrintableNames) {
    EXPECT_EQ(type(alice, "?squadcreate=Bad\x80Name:pw"), Lines{"All characters in your squad's name must be printable"});
    EXPECT_EQ(type(alice, "?squadcreate=Bad\x01Name:pw"), Lines{"All characters in your squad's name must be printable"});
    EXPECT_TRUE(database.squads().empty());
    EXPECT_EQ(type(alice, "?squadcreate=Odd\x7FName:pw"), Lines{kCreated}) << "127 counts as text";
    // The colon must stand among the first 31 characters of the argument.
    EXPECT_EQ(type(bob, "?squadcreate=" + std::string(30, 'n') + ":pw"), Lines{kCreated});
    EXPECT_EQ(type(carl, "?squadcreate=" + std::string(31, 'm') + ":pw"), Lines{});
    EXPECT_EQ(database.squads().count(), 2u);
}

TEST_F(SquadCommandsTest, OwnerCommands) {
    type(alice, "?squadcreate=Wolves:pw");
    type(bob, "?squadjoin=Wolves:pw");
    SquadRecord* wolves = database.findSquad("Wolves");

    // Members who are not the owner are refused every owner command.
    for (const char* text : {"?squaddissolve", "?squadpassword=x", "?squadname=x", "?squadkick=Alice",
                             "?squadgrant=Bob"})
        EXPECT_EQ(type(bob, text), Lines{"You are not squad owner"}) << text;

    EXPECT_EQ(type(alice, "?squadpassword=new pass"), Lines{"Squad password changed"});
    EXPECT_EQ(wolves->password, scrambledPassword("new pass"));
    EXPECT_EQ(wolves->members().size(), 2u) << "members stay members";

    // Renaming takes the text as typed and may repeat another squad's name;
    // lookups then find the first in list order.
    type(carl, "?squadcreate=Bears:pw");
    EXPECT_EQ(type(alice, "?squadname=bears"), Lines{"Squad name changed. Exit zone for it to take effect"});
    EXPECT_EQ(wolves->name(), "bears");
    EXPECT_EQ(database.findSquad("Bears"), wolves) << "the older squad comes first in the list";
    EXPECT_EQ(database.findSquad("Wolves"), nullptr);
    EXPECT_EQ(type(alice, "?squadname=Wolves"), Lines{"Squad name changed. Exit zone for it to take effect"});

    EXPECT_EQ(type(alice, "?squadkick=Bo"), Lines{"Player is not a squad member"}) << "whole names only";
    EXPECT_EQ(type(alice, "?squadkick=BOB"), Lines{"Player removed from squad"});
    EXPECT_EQ(userOf(bob).squad, nullptr);
    EXPECT_EQ(type(alice, "?squadkick=Bob"), Lines{"Player is not a squad member"});

    // Granting to a non-member: the granter keeps his place, not his rights.
    EXPECT_EQ(type(alice, "?squadgrant"), Lines{"Unable to find user specified"});
    EXPECT_EQ(type(alice, "?squadgrant=Nobody"), Lines{"Unable to find user specified"});
    EXPECT_EQ(type(alice, "?squadgrant=bob"), Lines{"Squad owner changed"});
    EXPECT_EQ(wolves->owner, &userOf(bob));
    EXPECT_EQ(userOf(alice).squad, wolves);
    EXPECT_EQ(type(alice, "?squadpassword=x"), Lines{"You are not squad owner"});
    // The new owner, not a member, must join first to dissolve.
    EXPECT_EQ(type(bob, "?squaddissolve"), Lines{"You are not on a squad"});
    EXPECT_EQ(type(bob, "?squadjoin=Wolves"), Lines{kJoined});
    EXPECT_EQ(type(bob, "?squaddissolve"), Lines{"Squad dissolved. Exit zone for it to take effect"});
    EXPECT_EQ(database.findSquad("Wolves"), nullptr);
    EXPECT_EQ(userOf(alice).squad, nullptr);
    EXPECT_EQ(userOf(bob).squad, nullptr);
    EXPECT_EQ(type(carl, "?squadjoin=Wolves:x"), Lines{"Specified squad does not exist"});
    EXPECT_EQ(type(alice, "?squadcreate=wolves:pw"), Lines{kCreated}) << "the name is free again";

    // The owner may kick himself and stays owner without being a member.
    EXPECT_EQ(type(alice, "?squadkick=alice"), Lines{"Player removed from squad"});
    SquadRecord* again = database.findSquad("wolves");
    EXPECT_TRUE(again->members().empty());
    EXPECT_EQ(again->owner, &userOf(alice));
    EXPECT_EQ(type(carl, "?squadowner=Wolves"), Lines{"wolves owner: Alice"});
    expectMembershipHolds(database);
}

TEST_F(SquadCommandsTest, MemberListInLinesOfTen) {
    type(alice, "?squadcreate=Big:pw");
    SquadRecord* big = database.findSquad("Big");
    std::vector<std::string> names = {"Alice"};
    for (int i = 2; i <= 25; ++i) {
        names.push_back("M" + std::to_string(i));
        database.addSquadMember(*big, *database.createUser(names.back(), "", {}, 0, 0));
    }
    auto line = [&](size_t from, size_t to, const char* prefix, bool comma) {
        std::string out = prefix;
        for (size_t i = from; i < to; ++i) out += names[i] + (i + 1 < to || comma ? "," : "");
        return out;
    };
    EXPECT_EQ(type(alice, "?squadlist"),
              (Lines{line(0, 10, "Squadmates: ", true), line(10, 20, "", true), line(20, 25, "", false)}));
    // Exactly ten: one line, no trailing comma.
    for (int i = 25; i > 10; --i) database.removeSquadMember(*database.findUser("M" + std::to_string(i)));
    EXPECT_EQ(type(alice, "?squadlist"), Lines{line(0, 10, "Squadmates: ", false)});
    // A squad whose members all left sends nothing.
    for (UserRecord* member : std::vector<UserRecord*>(big->members())) database.removeSquadMember(*member);
    EXPECT_EQ(type(carl, "?squadjoin=Big:pw"), Lines{kJoined});
    type(carl, "?squadleave");
    database.addSquadMember(*big, userOf(alice));
    database.removeSquadMember(userOf(alice));
    EXPECT_EQ(type(alice, "?squadlist"), Lines{"You are not on a squad"});
}

TEST_F(SquadCommandsTest, ALockedOutPlayerLinksNoSquadToHisStandInAccount) {
    // A new player with a faked MachineID is let in on the stand-in account
    // until his kick, and may type commands meanwhile.
    zoneclient::PlayerLogin login;
    login.name = "Faker";
    login.password = "pw";
    login.playerId = 9;
    login.machineId = 5;
    login.address = nextPlayerAddress();
    loginPlayer(*zone, login);
    Seat faker{zone, 9, player(*zone, 9)};
    ASSERT_NE(faker.session, nullptr);
    ASSERT_EQ(faker.session->user, &database.placeholderUser);
    type(alice, "?squadcreate=Open:pw");

    type(faker, "?squadcreate=Fake:pw");
    type(faker, "?squadjoin=Open:pw");
    EXPECT_EQ(database.findSquad("Fake"), nullptr);
    EXPECT_EQ(database.findSquad("Open")->members().size(), 1u);
    EXPECT_EQ(database.placeholderUser.squad, nullptr);
    EXPECT_EQ(type(faker, "?squad"), Lines{"You have no squad"});
    expectMembershipHolds(database);
}

// Random squad commands by four players; after each step and after a save
// and reload, a user is in squad S's member list exactly when the user's
// squad is S.
TEST_F(SquadCommandsTest, RandomCommandSequencesKeepMembership) {
    Seat dana = seat(*zone, "Dana", 4);
    Seat* seats[] = {&alice, &bob, &carl, &dana};
    const char* squads[] = {"Red", "red", "Blue", "Green Team"};
    const char* players[] = {"Alice", "bob", "CARL", "Dana", "Nobody"};
    std::mt19937 random(77);
    auto pick = [&](size_t n) { return random() % n; };
    for (int step = 0; step < 400; ++step) {
        Seat& who = *seats[pick(4)];
        std::string squad = squads[pick(4)];
        std::string text;
        switch (pick(11)) {
            case 0: text = "?squadcreate=" + squad + ":pw"; break;
            case 1: text = "?squadjoin=" + squad + (pick(2) ? ":pw" : ":no"); break;
            case 2: text = "?squadjoin=" + squad; break;
            case 3: text = "?squadleave"; break;
            case 4: text = "?squaddissolve"; break;
            case 5: text = "?squadkick=" + std::string(players[pick(5)]); break;
            case 6: text = "?squadgrant=" + std::string(players[pick(5)]); break;
            case 7: text = "?squadname=" + squad; break;
            case 8: text = "?squadpassword=" + std::string(pick(2) ? "pw" : "other"); break;
            case 9: text = "?squadlist"; break;
            default: text = "?squad=" + std::string(players[pick(5)]); break;
        }
        Lines replies = type(who, text);
        ASSERT_FALSE(replies.empty()) << text;
        expectMembershipHolds(database);
        if (HasFailure()) FAIL() << "step " << step << ": " << text;
    }
    // Squads, their owners and their members, in order, survive the files,
    // also squads whose owner has left them.
    auto describe = [](const Database& db) {
        std::vector<std::pair<std::string, std::vector<std::string>>> out;
        for (const SquadRecord* squad : db.squads()) {
            std::vector<std::string> members;
            for (const UserRecord* member : squad->members()) members.push_back(member->nameText());
            members.push_back(std::string("owner ") + (squad->owner ? squad->owner->nameText() : "none"));
            out.emplace_back(squad->nameText(), members);
        }
        return out;
    };
    const auto before = describe(database);
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(database.save());
    Database reloaded(settings, clock, log, dir.str());
    reloaded.load();
    expectMembershipHolds(reloaded);
    EXPECT_EQ(describe(reloaded), before);
}

}  // namespace
}  // namespace tallysv::testing
