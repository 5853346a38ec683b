// Stored passwords with PasswordHashing on: every way a password is set
// stores a hash, and every way one is given turns a scrambled field into its
// hash once, on the first correct try.
#include <gtest/gtest.h>

#include <functional>

#include "command_fixture.h"
#include "credentials/password_store.h"

namespace tallysv::testing {
namespace {

class PasswordHashingTest : public CommandTest {
protected:
    void SetUp() override {
        usePasswordTestCost(true);
        zone = &loginZone(3, 1, "Desk");
        admin = seat(*zone, "Admin", 1);
        plain = seat(*zone, "Plain", 2);
        makeOperator(*admin.session, 0);
        settings.passwordHashing = true;
    }
    void TearDown() override { usePasswordTestCost(false); }
    SimZone* zone = nullptr;
    Seat admin{}, plain{};
};

TEST_F(PasswordHashingTest, EverySetterStoresAHash) {
    struct Case {
        const char* what;
        std::function<void()> set;
        std::function<const PasswordField*()> field;
        const char* password;
    };
    auto userField = [this](const char* name) {
        return [this, name]() -> const PasswordField* {
            UserRecord* user = database.findUser(name);
            return user ? &user->password : nullptr;
        };
    };
    auto zoneField = [this]() -> const PasswordField* {
        ZoneRecord* record = database.findZone(12);
        return record ? &record->password : nullptr;
    };
    auto squadField = [this]() -> const PasswordField* {
        SquadRecord* squad = database.findSquad("Wolves");
        return squad ? &squad->password : nullptr;
    };
    const Case cases[] = {
        {"new account at login", [this] { loginPlayer(*zone, "Fresh", "fresh pw", 3); }, userField("Fresh"),
         "fresh pw"},
        {"?password", [this] { type(plain, "?password=mine"); }, userField("Plain"), "mine"},
        {"?changepassword", [this] { type(admin, "?changepassword=Plain:theirs"); }, userField("Plain"), "theirs"},
        {"?adduser", [this] { type(admin, "?adduser=Added:added pw"); }, userField("Added"), "added pw"},
        {"?addop", [this] { type(admin, "?addop Plain:op pw"); },
         [this] { return &database.operators().tail()->password; }, "op pw"},
        {"?changeop N:", [this] { type(admin, "?changeop 2:op pw 2"); },
         [this] { return &database.operators().tail()->password; }, "op pw 2"},
        {"?changeop", [this] { type(admin, "?changeop own pw"); }, [this] { return &admin.session->op->password; },
         "own pw"},
        {"?addzone", [this] { type(admin, "?addzone 12:zone pw"); }, zoneField, "zone pw"},
        {"?changezone", [this] { type(admin, "?changezone 12:zone pw 2"); }, zoneField, "zone pw 2"},
        {"?squadcreate", [this] { type(plain, "?squadcreate=Wolves:squad pw"); }, squadField, "squad pw"},
        {"?squadpassword", [this] { type(plain, "?squadpassword=squad pw 2"); }, squadField, "squad pw 2"},
    };
    for (const Case& c : cases) {
        c.set();
        const PasswordField* field = c.field();
        ASSERT_NE(field, nullptr) << c.what;
        EXPECT_TRUE(isHashedPassword(*field)) << c.what;
        EXPECT_TRUE(Database::passwordMatches(*field, c.password)) << c.what;
    }
}

// One kind of record whose password is given at a login or a command.
struct Presenter {
    const char* what;
    std::function<PasswordField&()> field;
    std::function<bool(const std::string&)> present;  // true when accepted
};

TEST_F(PasswordHashingTest, LegacyFieldsAreRehashedOnceAndWrongPasswordsChangeNothing) {
    OperatorRecord* op = database.createOperator(plain.session->user, 0, 0, 2, "");
    ZoneRecord* zoneRecord = database.createZone(12, 1, "");
    SquadRecord* squad = database.createSquad("Wolves", "", database.findUser("Admin"));
    UserRecord* account = database.createUser("Old", "", IPv4Address{}, 0, 0);
    uint32_t nextPlayer = 10;
    const Presenter presenters[] = {
        {"player login", [&]() -> PasswordField& { return account->password; },
         [&](const std::string& pw) {
             uint32_t id = nextPlayer++;
             auto reply = loginPlayer(*zone, "Old", pw, id);
             bool accepted = reply && player(*zone, id);
             if (accepted) send(*zone, zoneclient::playerLeaving(id, 0, std::nullopt));
             return accepted;
         }},
        {"zone login", [&]() -> PasswordField& { return zoneRecord->password; },
         [&](const std::string& pw) { return loggedIn(loginZone(12, 1, "Registered", pw)); }},
        {"?login", [&]() -> PasswordField& { return op->password; },
         [&](const std::string& pw) {
             type(plain, "?login " + pw);
             bool accepted = plain.session->op == op;
             type(plain, "?dop");
             return accepted;
         }},
        {"?squadjoin", [&]() -> PasswordField& { return squad->password; },
         [&](const std::string& pw) {
             Lines replies = type(plain, "?squadjoin=Wolves:" + pw);
             return replies.size() == 1 && replies[0] != "Invalid password for specified squad";
         }},
    };
    for (const Presenter& p : presenters) {
        p.field() = scrambledPassword("legacy pw");
        const PasswordField legacy = p.field();
        EXPECT_FALSE(p.present("legacy pW")) << p.what;
        EXPECT_EQ(p.field(), legacy) << p.what << ": a wrong password rehashed";
        EXPECT_TRUE(p.present("legacy pw")) << p.what;
        const PasswordField rehashed = p.field();
        EXPECT_TRUE(isHashedPassword(rehashed)) << p.what;
        EXPECT_TRUE(p.present("legacy pw")) << p.what;
        EXPECT_EQ(p.field(), rehashed) << p.what << ": rehashed twice";
        EXPECT_FALSE(p.present("legacy pW")) << p.what;
        EXPECT_EQ(p.field(), rehashed) << p.what;
    }
}

TEST_F(PasswordHashingTest, HashedFieldsVerifyWithHashingOffAndStayHashed) {
    UserRecord* account = database.createUser("Hashed", "kept", IPv4Address{}, 0, 0);
    const PasswordField hashed = account->password;
    ASSERT_TRUE(isHashedPassword(hashed));
    settings.passwordHashing = false;
    EXPECT_TRUE(loginPlayer(*zone, "Hashed", "kept", 20).has_value());
    EXPECT_NE(player(*zone, 20), nullptr);
    EXPECT_EQ(account->password, hashed);
    // Off, a password set is scrambled again; nothing already hashed changes.
    type(plain, "?password=plain again");
    EXPECT_EQ(database.findUser("Plain")->password, scrambledPassword("plain again"));
}

TEST_F(PasswordHashingTest, EmptyOperatorPasswordStillClosesTheEntry) {
    OperatorRecord* op = database.createOperator(plain.session->user, 0, 0, 2, "");
    EXPECT_EQ(op->password, PasswordField{});
    EXPECT_EQ(database.findOperatorForPassword(plain.session->user, ""), nullptr);
    EXPECT_EQ(database.findOperatorForPassword(plain.session->user, std::string_view("\0x", 2)), nullptr);
    EXPECT_EQ(op->password, PasswordField{});
}

}  // namespace
}  // namespace tallysv::testing
