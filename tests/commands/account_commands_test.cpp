#include <gtest/gtest.h>

#include "command_fixture.h"

namespace tallysv::testing {
namespace {

class AccountCommandsTest : public CommandTest {
protected:
    void SetUp() override {
        zone = &loginZone(3, 1, "Desk");
        admin = seat(*zone, "Admin", 1);
        mod = seat(*zone, "Mod", 2);
        plain = seat(*zone, "Plain", 3);
        makeOperator(*admin.session, 0);
        makeOperator(*mod.session, 4);
    }
    UserRecord* user(const char* name) { return database.findUser(name); }
    UserRecord* make(const std::string& name, IPv4Address address, int32_t machineID, int32_t hardwareID = -1) {
        UserRecord* u = database.createUser(name, "pw", address, machineID, 0);
        if (hardwareID >= 0) database.registerUser(*u, "Real", "mail", hardwareID);
        return u;
    }
    SimZone* zone = nullptr;
    Seat admin{}, mod{}, plain{};
};

TEST_F(AccountCommandsTest, CommandsStayWithinTheirTiers) {
    // Below their tier the texts reach no command and get no reply.
    for (const char* text : {"?changepassword=Plain:x", "?changesquad=S:Plain", "?changename=Plain:Other", "?info"})
        EXPECT_EQ(type(mod, text), Lines{}) << text;
    for (const char* text : {"?alias", "?adduser=New:pw", "?info", "?changename=Plain:Other"})
        EXPECT_EQ(type(plain, text), Lines{}) << text;
    EXPECT_NE(user("Plain"), nullptr);
    EXPECT_EQ(user("New"), nullptr);
    EXPECT_FALSE(type(mod, "?alias").empty());
}

TEST_F(AccountCommandsTest, ArgumentFormsOfTheColonCommands) {
    database.createSquad("Foo", "pw", user("Admin"));
    struct Case {
        const char* text;
        Lines replies;
    };
    const Case cases[] = {
        {"?changepassword", {"This command requires parameters. Type ?help changepassword for details"}},
        {"?changepassword=", {"This command requires parameters. Type ?help changepassword for details"}},
        {"?changepassword=Plain", {}},
        {"?changepassword=Nobody:pw", {"User not found"}},
        {"?changesquad", {"This command requires parameters. Type ?help changesquad for details"}},
        {"?changesquad=", {"This command requires parameters. Type ?help changesquad for details"}},
        {"?changesquad=Foo", {}},
        {"?changesquad=Bar:Plain", {"Squad not found"}},
        {"?changesquad=Foo:Nobody", {"User not found"}},
        {"?changename", {"This command requires parameters. Type ?help changename for details"}},
        {"?changename=", {"This command requires parameters. Type ?help changename for details"}},
        {"?changename=Plain", {}},
        {"?changename=Plain:plain", {"User already exists"}},
        {"?changename=Plain:Mod", {"User already exists"}},
        {"?changename=Nobody:Someone", {"User not found"}},
        {"?adduser", {"This command requires parameters. Type ?help adduser for details"}},
        {"?adduser=", {"This command requires parameters. Type ?help adduser for details"}},
        {"?adduser=abc", {}},
        {"?adduser=_abc:pw", {"Invalid username"}},
        {"?adduser=a%b:pw", {"Invalid username"}},
        {"?adduser=:pw", {"Invalid username"}},
        {"?adduser=plain:pw", {"User already exists"}},
        // The colon must stand among the first 31 characters.
        {"?adduser=ThisNameRunsOnFarPastThirtyOneCharacters:pw", {}},
    };
    const size_t accounts = database.users().count();
    for (const Case& c : cases) EXPECT_EQ(type(admin, c.text), c.replies) << c.text;
    EXPECT_EQ(database.users().count(), accounts);
    EXPECT_EQ(user("Plain")->password, scrambledPassword("pw"));
    EXPECT_EQ(database.findSquad("Foo")->owner, user("Admin"));
}

TEST_F(AccountCommandsTest, PasswordSquadOwnerAndRename) {
    EXPECT_EQ(type(admin, "?changepassword=plain:new secret"), Lines{"User information updated"});
    EXPECT_EQ(user("Plain")->password, scrambledPassword("new secret"));

    // A new owner need not be a member; membership stays as it was.
    SquadRecord* foo = database.createSquad("Foo", "pw", user("Admin"));
    database.addSquadMember(*foo, *user("Admin"));
    EXPECT_EQ(type(admin, "?changesquad=FOO:plain"), Lines{"Squad owner changed"});
    EXPECT_EQ(foo->owner, user("Plain"));
    EXPECT_EQ(foo->members(), std::vector<UserRecord*>{user("Admin")});

    // The account keeps everything under its new name; the old one is free.
    UserRecord* account = user("Plain");
    database.addSquadMember(*foo, *account);
    EXPECT_EQ(type(admin, "?changename=plain:Renamed Pilot"), Lines{"User information updated"});
    EXPECT_EQ(account->name(), "Renamed Pilot");
    EXPECT_EQ(user("renamed pilot"), account);
    EXPECT_EQ(user("Plain"), nullptr);
    EXPECT_EQ(account->squad, foo);
    EXPECT_EQ(foo->owner, account);
    EXPECT_EQ(type(plain, "?squad"), Lines{"Renamed Pilot's squad is Foo"});
    // The new name is cut to 31 characters, and may break the naming rules.
    const std::string longName = "_" + std::string(40, 'z');
    EXPECT_EQ(type(admin, "?changename=Renamed Pilot:" + longName), Lines{"User information updated"});
    EXPECT_EQ(account->name(), longName.substr(0, 31));
    // A name agreeing in its first 19 characters is one already taken.
    EXPECT_EQ(type(admin, "?changename=Mod:" + longName.substr(0, 19) + "other"), Lines{"User already exists"});
}

TEST_F(AccountCommandsTest, AdduserMakesAFreshAccount) {
    clock.setNow(1015462800);
    const size_t before = database.users().count();
    EXPECT_EQ(type(admin, "?adduser=1abc:pass word"), Lines{"User added"});
    const int32_t addedAt = clock.now();
    EXPECT_EQ(type(mod, "?adduser=  New   Guy  :x"), Lines{"User added"}) << "every operator may add";
    EXPECT_EQ(type(mod, "?adduser=new guy:x"), Lines{"User already exists"});
    ASSERT_EQ(database.users().count(), before + 2);
    UserRecord* added = user("1abc");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->userID(), static_cast<int32_t>(before + 1));
    EXPECT_EQ(added->password, scrambledPassword("pass word"));
    EXPECT_EQ(added->created, addedAt);
    EXPECT_EQ(added->lastLogin, added->created);
    EXPECT_EQ(added->address(), IPv4Address{});
    EXPECT_EQ(added->machineID(), 0);
    EXPECT_EQ(added->timeZoneBias, 0);
    EXPECT_EQ(added->passBlock, 0);
    EXPECT_EQ(added->squad, nullptr);
    EXPECT_EQ(added->registration(), nullptr);
    EXPECT_EQ(database.users().tail()->name(), "New Guy");
    // It logs in with its password.
    EXPECT_EQ(loginPlayer(*zone, "1ABC", "pass word", 9)->result, 6) << "accepted, registration form wanted";
    EXPECT_EQ(loginPlayer(*zone, "1abc", "wrong", 10)->result, 2) << "wrong password";
}

TEST_F(AccountCommandsTest, InfoByNameIdOrSelf) {
    admin.session->user->timeZoneBias = 720;  // dates are shown in the asker's time
    UserRecord* target = make("Target", {10, 1, 2, 3}, -7);
    database.registerUser(*target, "Real", "mail", -5);
    target->created = 1015462800;    // 7 March 2002 01:00 UTC
    target->lastLogin = 1037131200;  // 12 November 2002 20:00 UTC
    target->timeZoneBias = -120;
    target->passBlock = 1;
    const Lines targetLines = {
        "Target (#" + std::to_string(target->userID()) + ") Last known information:",
        "Creation: 3-06-2002, Login: 11-12-2002, PassBlock: Banfree, TZB: -120",
        "IP: 10.1.2.3, MachineID: -7, HardwareID: -5"};
    EXPECT_EQ(type(admin, "?info=target"), targetLines);
    EXPECT_EQ(type(admin, "?info " + std::to_string(target->userID())), targetLines);
    EXPECT_EQ(type(admin, "?info=" + std::to_string(target->userID()) + "xyz"), targetLines);

    // An account named by the digits wins over the UserID.
    UserRecord* digits = make(std::to_string(target->userID()), {}, 0);
    EXPECT_EQ(type(admin, "?info=" + std::to_string(target->userID())).at(0),
              std::string(digits->name()) + " (#" + std::to_string(digits->userID()) + ") Last known information:");

    for (const char* text : {"?info=9999", "?info=0", "?info=abc", "?info=-4", "?info=1234567890"})
        EXPECT_EQ(type(admin, text), Lines{"Specified user was not found in the database"}) << text;

    // Alone (or with one character): the asker's own account, unregistered.
    UserRecord& self = *admin.session->user;
    self.created = self.lastLogin = 100;  // before the asker's bias can convert it
    const Lines own = {"Admin (#" + std::to_string(self.userID()) + ") Last known information:",
                       "Creation: (Invalid date), Login: (Invalid date), PassBlock: Normal, TZB: 720",
                       "IP: " + addressText(self.address()) + ", MachineID: 100000, HardwareID: (none)"};
    EXPECT_EQ(type(admin, "?info"), own);
    EXPECT_EQ(type(admin, "?info="), own);
}

TEST_F(AccountCommandsTest, AliasTagsInTestingOrder) {
    make("Early", {10, 0, 0, 5}, 1);                 // same address
    UserRecord* target = make("Target", {10, 0, 0, 5}, 50000, 77);
    make("SameMachine", {10, 0, 0, 9}, 50000);       // also the same first three bytes
    make("SameForm", {20, 0, 0, 1}, 2, 77);
    make("NearBy", {10, 0, 0, 200}, 3, 78);
    make("NeverIn", {0, 0, 0, 0}, 50000, 77);        // no address yet: never listed
    make("Stranger", {30, 0, 0, 1}, 4, 79);
    make("FormlessTwin", {40, 0, 0, 1}, 5);          // no registration: no [ID2]
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(type(mod, "?alias=target"),
              (Lines{"Early[IP], Target[IP], SameMachine[MAC], SameForm[ID2], NearBy[~IP]"}));
    EXPECT_EQ(type(mod, "?alias=nearby"), (Lines{"Early[~IP], Target[~IP], SameMachine[~IP], NearBy[IP]"}));

    EXPECT_EQ(type(mod, "?alias=NeverIn"), Lines{"This account has not been accessed yet"});
    EXPECT_EQ(type(mod, "?alias=Nobody"), Lines{"Unable to find specified player"});
    // Alone: the asker's own account, which shares its MachineID with every
    // player the test zone logged in.
    EXPECT_EQ(type(mod, "?alias"), (Lines{"Admin[MAC], Mod[IP], Plain[MAC]"}));
}

TEST_F(AccountCommandsTest, AliasLinesOfFive) {
    for (int i = 1; i <= 11; ++i) make("Alt" + std::to_string(i), {10, 9, 9, 9}, 60000 + i);
    make("Last", {10, 9, 9, 10}, 60000);
    EXPECT_EQ(type(mod, "?alias=Alt1"),
              (Lines{"Alt1[IP], Alt2[IP], Alt3[IP], Alt4[IP], Alt5[IP]",
                     "Alt6[IP], Alt7[IP], Alt8[IP], Alt9[IP], Alt10[IP]", "Alt11[IP], Last[~IP]"}));
    // Exactly five: one line.
    for (int i = 6; i <= 11; ++i) {
        UserRecord* alt = user(("Alt" + std::to_string(i)).c_str());
        database.setUserAddress(*alt, {50, 0, 0, 1}, alt->machineID());
    }
    database.setUserAddress(*user("Last"), {50, 0, 0, 2}, user("Last")->machineID());
    EXPECT_EQ(type(mod, "?alias=Alt1"), (Lines{"Alt1[IP], Alt2[IP], Alt3[IP], Alt4[IP], Alt5[IP]"}));
}

}  // namespace
}  // namespace tallysv::testing
