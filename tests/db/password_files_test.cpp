// Hashed password fields in the .dat files: written as their 32 raw bytes,
// read back whole whatever PasswordHashing says, never converted back.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "credentials/password_store.h"
#include "db/backup.h"
#include "db/dat_tool.h"
#include "db/database.h"
#include "db/folder_lock.h"
#include "db_fixtures.h"

namespace tallysv {
namespace {

using testing::TemporaryFolder;

const char* const kFiles[] = {"Squad.dat", "User.dat", "Op.dat", "Zone.dat"};

class PasswordFilesTest : public ::testing::Test {
protected:
    void SetUp() override { usePasswordTestCost(true); }
    void TearDown() override { usePasswordTestCost(false); }
    FakeClock clock{5000, 1000000000};
    RecordingLog log;
    TemporaryFolder folder;

    // Every kind of password field of a database, with what it should verify.
    struct Stored {
        const char* what;
        const PasswordField* field;
        const char* password;
    };
    static std::vector<Stored> fields(Database& db) {
        return {{"user", &db.findUser("Alice")->password, "alice pw"},
                {"legacy user", &db.findUser("Bob")->password, "bob pw"},
                {"squad", &db.findSquad("Wolves")->password, "howl"},
                {"operator", &db.operators().tail()->password, "op pw"},
                {"zone", &db.findZone(7)->password, "zone pw"}};
    }
};

TEST_F(PasswordFilesTest, FileWrittenWithHashingOnReadsBackWithItOffAndOn) {
    PasswordField withZero{};
    {
        Settings settings;
        Database db(settings, clock, log, folder.path());
        settings.passwordHashing = true;
        UserRecord* alice = db.createUser("Alice", "alice pw", {}, 0, 0);
        db.createUser("Bob", "", {}, 0, 0)->password = scrambledPassword("bob pw");
        db.createSquad("Wolves", "howl", alice);
        db.createOperator(alice, 0, 0, 1, "op pw");
        db.createZone(7, 1, "zone pw");
        // A hash may hold 0 bytes anywhere; none may cut it.
        withZero = makePasswordField("carol pw", true);
        withZero[0] = 0;
        withZero[20] = 0;
        db.createUser("Carol", "", {}, 0, 0)->password = withZero;
        ASSERT_TRUE(db.save());
    }
    std::vector<std::vector<uint8_t>> written;
    for (const char* name : kFiles) written.push_back(folder.read(name));

    for (bool hashing : {false, true}) {
        Settings settings;
        Database db(settings, clock, log, folder.path());
        settings.passwordHashing = hashing;
        db.load();
        for (const Stored& s : fields(db)) {
            EXPECT_EQ(isHashedPassword(*s.field), std::string(s.what) != "legacy user") << s.what;
            EXPECT_TRUE(Database::passwordMatches(*s.field, s.password)) << s.what << " hashing " << hashing;
            EXPECT_FALSE(Database::passwordMatches(*s.field, "other")) << s.what;
        }
        EXPECT_EQ(db.findUser("Carol")->password, withZero);
        ASSERT_TRUE(db.save());
        for (size_t i = 0; i < std::size(kFiles); ++i)
            EXPECT_EQ(folder.read(kFiles[i]), written[i]) << kFiles[i] << " hashing " << hashing;
    }
}

TEST_F(PasswordFilesTest, CheckCountsScrambledPasswordsAndWrapLeavesNone) {
    {
        Settings settings;
        Database db(settings, clock, log, folder.path());
        UserRecord* alice = db.createUser("Alice", "alice pw", {}, 0, 0);
        db.createUser("Bob", "", {}, 0, 0);  // empty: closes nothing, hides nothing
        db.createUser("Carol", "", {}, 0, 0)->password = makePasswordField("carol pw", true);
        db.createSquad("Wolves", "howl", alice);
        db.createOperator(alice, 0, 0, 1, "op pw");
        db.createZone(7, 1, "zone pw");
        ASSERT_TRUE(db.save());
    }
    auto counts = [](const SetCheck& c) {
        return std::vector<int>{c.userPasswords.records, c.userPasswords.scrambled, c.squadPasswords.scrambled,
                                c.operatorPasswords.scrambled, c.zonePasswords.scrambled};
    };
    SetCheck before = checkDatabaseSet(folder.path());
    EXPECT_EQ(counts(before), (std::vector<int>{3, 1, 1, 1, 1}));
    EXPECT_EQ(before.notes.back(), "Passwords still scrambled: users 1 of 3, squads 1 of 1, operators 1 of 1, zones 1 of 1");
    const std::vector<uint8_t> scores = folder.read("Score.dat");
    const std::vector<uint8_t> users = folder.read("User.dat");

    {
        // Not while a server holds the folder.
        FolderLock server(folder.path());
        ASSERT_TRUE(server.tryTake().isOk());
        WrapResult refused = wrapScrambledPasswords(folder.path(), 2, nullptr);
        EXPECT_FALSE(refused.status);
        EXPECT_NE(refused.status.reason().find("stop it first"), std::string::npos) << refused.status.reason();
        EXPECT_EQ(folder.read("User.dat"), users);
    }

    std::vector<std::pair<size_t, size_t>> progress;
    WrapResult wrapped = wrapScrambledPasswords(folder.path(), 2, [&](size_t done, size_t total) {
        progress.emplace_back(done, total);
    });
    ASSERT_TRUE(wrapped.status) << wrapped.status.reason();
    EXPECT_EQ(wrapped.users.scrambled, 1);
    EXPECT_EQ(wrapped.zones.scrambled, 1);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), std::make_pair(size_t{0}, size_t{4}));
    EXPECT_EQ(progress.back(), std::make_pair(size_t{4}, size_t{4}));
    EXPECT_EQ(counts(checkDatabaseSet(folder.path())), (std::vector<int>{3, 0, 0, 0, 0}));
    EXPECT_EQ(folder.read("Score.dat"), scores);
    EXPECT_EQ(folder.read("User.dat").size(), users.size());
    EXPECT_FALSE(folder.exists("User.dat.new"));

    // Wrapped fields verify; the first correct login stores an ordinary hash.
    Settings settings;
    Database db(settings, clock, log, folder.path());
    settings.passwordHashing = true;
    db.load();
    for (const Stored& s : fields(db)) {
        if (std::string(s.what) == "legacy user") continue;
        EXPECT_TRUE(Database::passwordMatches(*s.field, s.password)) << s.what;
    }
    PasswordField& alice = db.findUser("Alice")->password;
    EXPECT_EQ(alice[31], kPasswordWrappedVersion);
    EXPECT_FALSE(db.verifyPassword(alice, "wrong"));
    EXPECT_EQ(alice[31], kPasswordWrappedVersion);
    EXPECT_TRUE(db.verifyPassword(alice, "alice pw"));
    EXPECT_EQ(alice[31], kPasswordHashVersion);
    EXPECT_EQ(db.findUser("Bob")->password, PasswordField{});
    // Nothing left to wrap: the files are not written again.
    WrapResult again = wrapScrambledPasswords(folder.path(), 2, nullptr);
    EXPECT_TRUE(again.status);
    EXPECT_EQ(again.users.scrambled + again.squads.scrambled + again.operators.scrambled + again.zones.scrambled, 0);
}

// Generations made before hashing was turned on keep scrambled passwords
// after the live files are wrapped, unless wrap reaches them too.
TEST_F(PasswordFilesTest, WrapReachesEveryGenerationAndHashesEachPasswordOnce) {
    const BackupPolicy everySave{1000, 7, true};
    {
        Settings settings;
        settings.backupInterval = 0;  // the generations are made below, at chosen times
        Database db(settings, clock, log, folder.path());
        UserRecord* alice = db.createUser("Alice", "alice pw", {}, 0, 0);
        db.createUser("Bob", "", {}, 0, 0)->password = scrambledPassword("bob pw");
        db.createSquad("Wolves", "howl", alice);
        db.createOperator(alice, 0, 0, 1, "op pw");
        db.createZone(7, 1, "zone pw");
        ASSERT_TRUE(db.save());
        ASSERT_TRUE(makeBackupGeneration(folder.path(), 1000000000, everySave).isOk());
        // A later generation: Alice changed her password, the rest is alike.
        alice->password = scrambledPassword("alice new");
        ASSERT_TRUE(db.save());
        ASSERT_TRUE(makeBackupGeneration(folder.path(), 1000000100, everySave).isOk());
    }
    const std::vector<std::string> generations = listBackupGenerations(folder.path());
    ASSERT_EQ(generations.size(), 2u);

    EXPECT_EQ(checkDatabaseSet(folder.path()).notes.back(),
              "Passwords still scrambled: users 2 of 2, squads 1 of 1, operators 1 of 1, zones 1 of 1");
    GenerationsCheck before = checkBackupGenerations(folder.path());
    std::vector<std::string> expected;
    for (const std::string& name : generations)
        expected.push_back("backup/" + name +
                           ": passwords still scrambled: users 2 of 2, squads 1 of 1, operators 1 of 1, zones 1 of 1");
    EXPECT_EQ(before.notes, expected);
    EXPECT_TRUE(before.problems.empty());

    std::vector<std::pair<size_t, size_t>> progress;
    WrapResult wrapped = wrapScrambledPasswords(folder.path(), 2, [&](size_t done, size_t total) {
        progress.emplace_back(done, total);
    });
    ASSERT_TRUE(wrapped.status) << wrapped.status.reason();
    ASSERT_EQ(wrapped.generations.size(), 2u);
    for (const GenerationPasswords& g : wrapped.generations) {
        EXPECT_EQ(g.users.scrambled, 2) << g.name;
        EXPECT_EQ(g.operators.scrambled, 1) << g.name;
    }
    // Five accounts' fields of the live set plus Alice's old password: six
    // hashes for fifteen fields.
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(size_t{6}, size_t{6}));

    EXPECT_EQ(checkDatabaseSet(folder.path()).notes.back(),
              "Passwords still scrambled: users 0 of 2, squads 0 of 1, operators 0 of 1, zones 0 of 1");
    GenerationsCheck after = checkBackupGenerations(folder.path());
    EXPECT_TRUE(after.notes.empty());
    ASSERT_EQ(after.generations.size(), 2u);
    for (const GenerationPasswords& g : after.generations)
        EXPECT_EQ(g.users.scrambled + g.squads.scrambled + g.operators.scrambled + g.zones.scrambled, 0) << g.name;

    // No scrambled text is left in any byte of any generation, and each
    // generation still verifies its own passwords.
    const PasswordField oldAlice = scrambledPassword("alice pw");
    const std::string oldText(reinterpret_cast<const char*>(oldAlice.data()), 8);
    for (size_t g = 0; g < 2; ++g) {
        const std::string dir = folder.path() + "/backup/" + generations[g];
        std::vector<uint8_t> users = TemporaryFolder::readPath(dir + "/User.dat");
        EXPECT_EQ(std::string(users.begin(), users.end()).find(oldText), std::string::npos) << generations[g];
        Settings settings;
        Database db(settings, clock, log, dir);
        db.load();
        EXPECT_TRUE(Database::passwordMatches(db.findUser("Alice")->password, g == 0 ? "alice pw" : "alice new"));
        EXPECT_TRUE(Database::passwordMatches(db.findUser("Bob")->password, "bob pw"));
        EXPECT_TRUE(Database::passwordMatches(db.findZone(7)->password, "zone pw"));
        EXPECT_FALSE(Database::passwordMatches(db.findZone(7)->password, "other"));
    }
    // The newest generation shares the live set's hashes; nothing is wrapped twice.
    EXPECT_EQ(TemporaryFolder::readPath(folder.path() + "/backup/" + generations[1] + "/User.dat"),
              folder.read("User.dat"));
    WrapResult again = wrapScrambledPasswords(folder.path(), 2, nullptr);
    ASSERT_TRUE(again.status);
    for (const GenerationPasswords& g : again.generations) EXPECT_EQ(g.users.scrambled, 0);
}

// A field taken for a hash that this server never writes is reported where
// it is, in the live files and in the generations alike.
TEST_F(PasswordFilesTest, CheckReportsFieldsTakenForHashesThatThisServerNeverWrites) {
    auto userWith = [](int32_t id, const std::string& name, const std::string& password) {
        testing::UserFields user;
        user.userID = id;
        user.name = name;
        user.password = password;
        return testing::userRecord(user);
    };
    PasswordField hash = makePasswordField("dave pw", true);
    hash[3] = 0;  // a 0 byte inside a hash is ordinary
    const std::string strayText = std::string("\x91\x92\x93", 3) + std::string(28, '\0') + "\x01";
    const std::string unknownVersion = std::string("\x91\x92", 2) + std::string(29, '\0') + "\x07";
    folder.write("User.dat", testing::userRecord({}).append(userWith(2, "Bob", strayText))
                                 .append(userWith(3, "Carol", unknownVersion))
                                 .append(userWith(4, "Dave", std::string(hash.begin(), hash.end()))));
    ASSERT_EQ(::mkdir((folder.path() + "/backup").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((folder.path() + "/backup/20200101-000000").c_str(), 0700), 0);
    folder.write("backup/20200101-000000/User.dat", userWith(9, "Eve", unknownVersion));

    SetCheck check = checkDatabaseSet(folder.path());
    GenerationsCheck generations = checkBackupGenerations(folder.path());
    check.problems.insert(check.problems.end(), generations.problems.begin(), generations.problems.end());
    EXPECT_EQ(check.problems,
              (std::vector<std::string>{
                  "User.dat record 2: the password field is a text followed by zeros with 1 as its last byte, not a "
                  "hash this server writes: it never verifies (an older writer's scrambled password with a stray "
                  "last byte?)",
                  "User.dat record 3: the password field ends in 7, a hash version this server never writes: it "
                  "never verifies (an older writer's scrambled password with a stray last byte?)",
                  "backup/20200101-000000/User.dat record 1: the password field ends in 7, a hash version this "
                  "server never writes: it never verifies (an older writer's scrambled password with a stray last "
                  "byte?)"}));
    EXPECT_EQ(check.userPasswords.scrambled, 1);  // Alice's "pw"
}

}  // namespace
}  // namespace tallysv
