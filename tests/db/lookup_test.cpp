// Lookups: every index answers what a walk of its table from the head
// would, through appends, renames and removals; account operations.
#include <gtest/gtest.h>

#include <random>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "db_fixtures.h"

namespace tallysv {
namespace {

UserRecord* walkUsersByName(const Database& db, std::string_view name) {
    for (UserRecord* u : db.users())
        if (equalFolded(name, u->name(), 19)) return u;
    return nullptr;
}

template <class T>
T* walkByName(const Table<T>& table, std::string_view name) {
    for (T* r : table)
        if (equalFolded(name, r->name())) return r;
    return nullptr;
}

class LookupTest : public ::testing::Test {
protected:
    FakeClock clock{1000, 1000000000};
    RecordingLog log;
    Settings settings;
    Database database{settings, clock, log};
};

TEST_F(LookupTest, NamesAgreeingOnTheFirst19CharactersAreOneAccount) {
    UserRecord* first = database.createUser("ABCDEFGHIJKLMNOPQRS-one", "", {}, 0, 0);
    database.createUser("abcdefghijklmnopqrs-two", "", {}, 0, 0);
    EXPECT_EQ(database.findUser("AbCdEfGhIjKlMnOpQrS"), first);
    EXPECT_EQ(database.findUser("abcdefghijklmnopqrs-anything"), first);
    EXPECT_EQ(database.findUser("abcdefghijklmnopqr"), nullptr);
    // Folding is ASCII only.
    database.createUser("\xC4rger", "", {}, 0, 0);
    EXPECT_EQ(database.findUser("\xE4rger"), nullptr);
}

TEST_F(LookupTest, EmptyAndNulCarryingNamesAreCutAtTheNul) {
    UserRecord* empty = database.createUser(std::string_view{}, std::string_view{}, {}, 0, 0);
    EXPECT_EQ(empty->name(), "");
    EXPECT_EQ(database.findUser(std::string_view{}), empty);
    UserRecord* cut = database.createUser(std::string_view("Bob\0hidden", 10), "", {}, 0, 0);
    EXPECT_EQ(cut->name(), "Bob");
    EXPECT_EQ(database.findUser(std::string_view("bob\0other", 9)), cut);
}

TEST_F(LookupTest, SquadNamesCompareWhole) {
    SquadRecord* squad = database.createSquad("Wolves", "", nullptr);
    EXPECT_EQ(database.findSquad("WOLVES"), squad);
    EXPECT_EQ(database.findSquad("Wolve"), nullptr);
    EXPECT_EQ(database.findSquad("Wolvess"), nullptr);
}

// Random appends, renames and removals over a small alphabet of names (so
// that keys collide often), checked against the walk after every step.
TEST_F(LookupTest, IndexesAgreeWithTheFirstMatchWalk) {
    std::mt19937 random(12345);
    const char* stems[] = {"alpha", "ALPHA", "Beta", "beta", "ThisNameIsLongerThan19-x", "thisnameislongerthan19-y",
                           "g", "G", "Delta Force", "delta force"};
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    std::vector<UserRecord*> users;
    std::vector<SquadRecord*> squads;
    std::vector<ZoneRecord*> zones;
    std::vector<BanfreeRecord*> banfrees;
    for (int step = 0; step < 3000; ++step) {
        std::string name = stems[pick(std::size(stems))];
        switch (pick(8)) {
            case 0: users.push_back(database.createUser(name, "", {}, 0, 0)); break;
            case 1:
                if (!users.empty()) database.renameUser(*users[pick(users.size())], name);
                break;
            case 2: squads.push_back(database.createSquad(name, "", nullptr)); break;
            case 3:
                if (!squads.empty()) {
                    size_t i = pick(squads.size());
                    if (pick(2)) {
                        database.renameSquad(*squads[i], name);
                    } else {
                        database.removeSquad(squads[i]);
                        squads.erase(squads.begin() + static_cast<long>(i));
                    }
                }
                break;
            case 4: zones.push_back(database.createZone(static_cast<int32_t>(pick(6)), 0, "")); break;
            case 5:
                if (!zones.empty()) {
                    size_t i = pick(zones.size());
                    database.removeZone(zones[i]);
                    zones.erase(zones.begin() + static_cast<long>(i));
                }
                break;
            case 6: banfrees.push_back(database.createBanfree(static_cast<int32_t>(pick(5)), static_cast<int32_t>(pick(2)), static_cast<int32_t>(pick(3)))); break;
            case 7:
                if (!banfrees.empty()) {
                    size_t i = pick(banfrees.size());
                    database.removeBanfree(banfrees[i]);
                    banfrees.erase(banfrees.begin() + static_cast<long>(i));
                }
                break;
        }
        for (const char* stem : stems) {
            ASSERT_EQ(database.findUser(stem), walkUsersByName(database, stem)) << "step " << step << " " << stem;
            ASSERT_EQ(database.findSquad(stem), walkByName(database.squads(), stem)) << "step " << step;
        }
        for (int32_t id = 0; id < 6; ++id) {
            ZoneRecord* walked = nullptr;
            for (ZoneRecord* z : database.zones())
                if (z->scoreID() == id) {
                    walked = z;
                    break;
                }
            ASSERT_EQ(database.findZone(id), walked) << "step " << step;
            for (int32_t score = 0; score < 3; ++score) {
                BanfreeRecord* first = nullptr;
                for (BanfreeRecord* b : database.banfrees())
                    if (b->userID() == id && (b->groupID == 0 || b->scoreID == score)) {
                        first = b;
                        break;
                    }
                ASSERT_EQ(database.findBanfree(id, score), first) << "step " << step;
            }
        }
    }
}

// Identifiers of any value, as damaged or hand-made files hold them: the
// index by number still answers the first record in table order.
TEST_F(LookupTest, LookupsByNumberFindTheFirstWhateverTheNumbers) {
    testing::Bytes users, bans;
    std::vector<int32_t> userIDs = {5000, -3, 2147483647, 5000};
    for (int32_t id = 1; id <= 3000; ++id) userIDs.push_back(id);
    userIDs.push_back(-3);
    userIDs.push_back(2);
    for (size_t i = 0; i < userIDs.size(); ++i) {
        testing::UserFields user;
        user.userID = userIDs[i];
        user.name = "U" + std::to_string(i);
        users.append(testing::userRecord(user));
    }
    bans.i32(2);
    for (int32_t id : {7, -1, 2000000000, 7, 3}) {
        testing::BanFields ban;
        ban.banID = id;
        bans.append(testing::banRecord(ban));
    }
    DatImages images;
    images[static_cast<size_t>(DatFile::User)] = users.data;
    images[static_cast<size_t>(DatFile::Ban)] = bans.data;
    database.loadImages(images);

    for (int32_t id : {5000, -3, 2147483647, 1, 2, 3000, 0, 3001, -2147483647 - 1}) {
        UserRecord* walked = nullptr;
        for (UserRecord* u : database.users())
            if (u->userID() == id) {
                walked = u;
                break;
            }
        EXPECT_EQ(database.findUserByID(id), walked) << id;
    }
    EXPECT_EQ(database.findUserByID(5000)->name(), "U0");
    EXPECT_EQ(database.findUserByID(2)->name(), "U5");

    auto walkBan = [&](int32_t id) -> BanRecord* {
        for (BanRecord* b : database.bans())
            if (b->banID() == id) return b;
        return nullptr;
    };
    UserRecord* someone = database.users().head();
    database.createBan(*someone, nullptr, 1);  // BanID 3, after the loaded 3
    database.createBan(*someone, nullptr, 1);  // BanID 4
    database.removeBan(database.findBanByID(7));
    database.removeBan(database.findBanByID(-1));
    for (int32_t id : {7, -1, 2000000000, 3, 4, 5})
        EXPECT_EQ(database.findBanByID(id), walkBan(id)) << id;
    EXPECT_NE(database.findBanByID(7), nullptr);
    EXPECT_EQ(database.findBanByID(-1), nullptr);
}

// Many accounts under one name and one number, as a damaged file may hold:
// loading appends to the key's chain directly, and the chain keeps its
// order through renames in and out of it.
TEST_F(LookupTest, ManyAccountsUnderOneKeyKeepTheirOrder) {
    testing::Bytes users;
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        testing::UserFields user;
        user.userID = 9;
        user.name = "Same";
        user.created = i;
        users.append(testing::userRecord(user));
    }
    DatImages images;
    images[static_cast<size_t>(DatFile::User)] = users.data;
    database.loadImages(images);
    ASSERT_EQ(database.users().count(), static_cast<size_t>(count));
    UserRecord* first = database.users().head();
    UserRecord* second = first->tableNext();
    UserRecord* last = database.users().tail();
    EXPECT_EQ(database.findUser("same"), first);
    EXPECT_EQ(database.findUserByID(9), first);
    database.renameUser(*first, "Other");
    EXPECT_EQ(database.findUser("same"), second);
    database.renameUser(*last, "Other");
    EXPECT_EQ(database.findUser("other"), first);
    database.renameUser(*first, "Same");  // back to the head of its chain
    EXPECT_EQ(database.findUser("same"), first);
    database.renameUser(*second, "Other");
    database.renameUser(*last, "Same");  // back to the tail
    database.renameUser(*second, "Same");
    UserRecord* walked = nullptr;
    for (UserRecord* u : database.users())
        if (u->name() == "Other") walked = u;
    EXPECT_EQ(walked, nullptr);
    EXPECT_EQ(database.findUser("other"), nullptr);
    EXPECT_EQ(database.findUser("same"), first);
    // A new account of the same name comes last.
    UserRecord* added = database.createUser("SAME", "", {}, 0, 0);
    database.renameUser(*first, "x");
    database.renameUser(*second, "x");
    for (UserRecord* u = database.users().head(); u != added; u = u->tableNext())
        if (u->name() == "Same") database.renameUser(*u, "y");
    EXPECT_EQ(database.findUser("same"), added);
}

TEST_F(LookupTest, NewAccountsAreNumberedByTableSize) {
    clock.setNow(1234567890);
    UserRecord* a = database.createUser("  A name", "secret", {1, 2, 3, 4}, 50000, 120);
    EXPECT_EQ(a->userID(), 1);
    EXPECT_EQ(a->created, 1234567890);
    EXPECT_EQ(a->lastLogin, 1234567890);
    EXPECT_EQ(a->password, scrambledPassword("secret"));
    EXPECT_EQ(a->registration(), nullptr);
    EXPECT_EQ(a->squad, nullptr);
    EXPECT_EQ(database.createUser("B", "", {}, 0, 0)->userID(), 2);
    EXPECT_EQ(database.findUserByID(2)->name(), "B");
    EXPECT_EQ(database.createUser(std::string(40, 'L'), std::string(40, 'p'), {}, 0, 0)->name(), std::string(31, 'L'));
    EXPECT_EQ(database.findUserByID(3)->password, scrambledPassword(std::string(31, 'p')));
}

TEST_F(LookupTest, PlaceholderUserIsBannedAndInNoTable) {
    EXPECT_EQ(database.placeholderUser.name(), "^Banned");
    EXPECT_EQ(database.placeholderUser.password, PasswordField{});
    EXPECT_EQ(database.findUser("^Banned"), nullptr);
}

TEST_F(LookupTest, IdleAccountIsReclaimedWithAnyPasswordAndLosesItsRegistrations) {
    settings.accountReclaimDelay = 90 * 86400;
    UserRecord* user = database.createUser("Old", "mine", {}, 0, 0);
    database.registerUser(*user, "Earlier", "", 1);
    database.registerUser(*user, "Later", "", 2);
    UserRecord* other = database.createUser("Other", "", {}, 0, 0);
    database.registerUser(*other, "Keep", "", 3);
    clock.setNow(user->lastLogin + 90 * 86400);
    EXPECT_EQ(database.checkLoginPassword(*user, "wrong"), Database::LoginPassword::Wrong);
    EXPECT_EQ(database.checkLoginPassword(*user, "mine"), Database::LoginPassword::Correct);
    clock.setNow(user->lastLogin + 90 * 86400 + 1);
    EXPECT_EQ(database.checkLoginPassword(*user, "taken"), Database::LoginPassword::Reclaimed);
    EXPECT_EQ(user->password, scrambledPassword("taken"));
    EXPECT_EQ(user->registration(), nullptr);
    ASSERT_EQ(database.registrations().count(), 1u);
    EXPECT_EQ(database.registrations().head()->realName.view(), "Keep");
}

TEST_F(LookupTest, NegativeReclaimDelayReclaimsNothing) {
    settings.accountReclaimDelay = -1000;
    UserRecord* user = database.createUser("Kept", "mine", {}, 0, 0);
    clock.setNow(user->lastLogin + 5 * 365 * 86400);
    EXPECT_EQ(database.checkLoginPassword(*user, "other"), Database::LoginPassword::Wrong);
    settings.accountReclaimDelay = 0;
    EXPECT_EQ(database.checkLoginPassword(*user, "other"), Database::LoginPassword::Reclaimed);
}

TEST_F(LookupTest, RegistrationIsAppendedAndReplacesTheAccountsOwn) {
    UserRecord* user = database.createUser("U", "", {}, 0, 0);
    User2Record* first = database.registerUser(*user, std::string(40, 'r'), "mail", -7);
    User2Record* second = database.registerUser(*user, "Second", "", 0);
    EXPECT_EQ(user->registration(), second);
    EXPECT_EQ(database.registrations().count(), 2u);
    EXPECT_EQ(first->realName.view(), std::string(31, 'r'));
    EXPECT_EQ(first->details.view(), "(No details)");
    EXPECT_FALSE(first->NotifyChat || first->NotifyBan || first->NotifyZone);
}

TEST_F(LookupTest, SquadMembershipStaysBothWays) {
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    UserRecord* b = database.createUser("B", "", {}, 0, 0);
    SquadRecord* one = database.createSquad("One", "", a);
    SquadRecord* two = database.createSquad("Two", "", b);
    database.addSquadMember(*one, *a);
    database.addSquadMember(*one, *b);
    database.addSquadMember(*two, *b);  // moves
    EXPECT_EQ(one->members(), std::vector<UserRecord*>{a});
    EXPECT_EQ(two->members(), std::vector<UserRecord*>{b});
    EXPECT_EQ(Database::findSquadMember(*two, "b"), b);
    EXPECT_EQ(Database::findSquadMember(*one, "b"), nullptr);
    database.removeSquad(one);
    EXPECT_EQ(a->squad, nullptr);
    EXPECT_EQ(database.findSquad("One"), nullptr);
}

TEST_F(LookupTest, OperatorsAreFoundByAccountNameAndByPassword) {
    readConfiguration(settings, database, log);  // built-in operator with the empty password
    UserRecord* a = database.createUser("Admin", "", {}, 0, 0);
    UserRecord* b = database.createUser("Other", "", {}, 0, 0);
    OperatorRecord* op = database.createOperator(a, 0, 0, 2, "adminpw");
    EXPECT_EQ(database.findOperatorByUserName("ADMIN"), op);
    EXPECT_EQ(database.findOperatorByUserName("Other"), nullptr);
    EXPECT_EQ(database.findOperatorForPassword(a, "adminpw"), op);
    EXPECT_EQ(database.findOperatorForPassword(b, "adminpw"), nullptr);
    // The built-in operator holds the empty password, which closes it.
    EXPECT_EQ(database.findOperatorForPassword(b, ""), nullptr);
    database.operators().head()->password = scrambledPassword("sysop");
    EXPECT_EQ(database.findOperatorForPassword(b, "sysop"), database.operators().head());
}

}  // namespace
}  // namespace tallysv
