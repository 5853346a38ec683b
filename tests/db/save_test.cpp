// Writing the eight .dat files: layouts, order, numbering, messages, and
// what a failed or interrupted save leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "core/clock.h"
#include "core/fields.h"
#include "core/log.h"
#include "core/password_scramble.h"
#include "db/database.h"
#include "db_fixtures.h"

namespace tallysv {
namespace {

using testing::Bytes;
using testing::TemporaryFolder;

const char* const kAllFiles[] = {"Squad.dat", "User.dat",  "Score.dat", "Ban.dat",
                                 "User2.dat", "Op.dat",    "Zone.dat",  "Banfree.dat"};

const char* const kAllWritingLines =
    "Writing: Squad.dat\nWriting: User.dat\nWriting: Score.dat\nWriting: Ban.dat\n"
    "Writing: User2.dat\nWriting: Op.dat\nWriting: Zone.dat\nWriting: Banfree.dat\n";

std::string scrambled(const char* plain) {
    PasswordField field = scrambledPassword(plain);
    return std::string(reinterpret_cast<const char*>(field.data()));
}

class SaveTest : public ::testing::Test {
protected:
    FakeClock clock{5000, 1000000000};
    RecordingLog log;
    TemporaryFolder folder;
    Settings settings;
    Database database{settings, clock, log, folder.path()};
};

// A set exactly as the server writes it: squads numbered in order, every
// reference resolving, scores numbered with the table size.
struct CanonicalSet {
    std::map<std::string, Bytes> files;
    CanonicalSet() {
        files["Squad.dat"] = Bytes{}
                                 .append(testing::squadRecord(1, "Red", "\x91\x22", 1))
                                 .append(testing::squadRecord(2, "Blue", "", 3));
        testing::UserFields alice, bob, carol;
        alice = {1, "Alice", "\x10\x20\x30", 0xAB, 1, 3600, 12, {10, 1, 2, 3}, 40000, 999, 888, -300, 0};
        bob = {2, "Bob", "", 0, 0, 0, 0, {0, 0, 0, 0}, 0, 0, 0, 0, 1};
        carol = {3, "Carol", "\x7f", 0x00, 2, -5, 1, {255, 255, 255, 255}, -1, 2000000000, 1, 720, 0};
        files["User.dat"] = Bytes{}
                                .append(testing::userRecord(alice))
                                .append(testing::userRecord(bob))
                                .append(testing::userRecord(carol));
        files["Score.dat"] = Bytes{}
                                 .append(testing::scoreRecord(1, 10, 1, 2, 1, 2, 3, 4, 5))
                                 .append(testing::scoreRecord(2, 10, 3, 2, -1, 0, 32767, -2147483647 - 1, 7))
                                 .append(testing::scoreRecord(3, 11, 1, 2, 0, 0, 0, 0, 0));
        testing::BanFields ban1, ban2;
        ban1 = {3, 2, 100, 90, 500, {10, 1, 2, 0}, {10, 1, 2, 255}, 31999, 77, 1, 0, 4, 2, "Bob", "cheating"};
        ban2 = {9, 3, 0, 0, 0, {1, 2, 3, 4}, {1, 2, 3, 4}, 0, 0, 0, 12, 0, 4, "Carol", ""};
        files["Ban.dat"] = Bytes{}.i32(9).append(testing::banRecord(ban1)).append(testing::banRecord(ban2));
        files["User2.dat"] = Bytes{}
                                 .append(testing::user2Record(1, 12345, 7, "Alice A", "a@example", "(No details)"))
                                 .append(testing::user2Record(3, -5, 2, "Carol C", "", "notes"));
        files["Op.dat"] = Bytes{}.append(testing::opRecord(1, 0, 0, 0, "\x55")).append(testing::opRecord(3, 4, 12, 4, ""));
        files["Zone.dat"] = Bytes{}
                                .append(testing::zoneRecord(10, 4, "\x33\x44", "Appeal at the forum"))
                                .append(testing::zoneRecord(11, 0, "", ""));
        files["Banfree.dat"] = Bytes{}.append(testing::banfreeRecord(2, 0, 0)).append(testing::banfreeRecord(3, 4, 12));
    }
};

TEST_F(SaveTest, LoadThenSaveGivesBackEveryFileByteForByte) {
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    log.clear();
    EXPECT_TRUE(database.save());
    EXPECT_EQ(log.text(), kAllWritingLines);
    for (auto& [name, bytes] : set.files) EXPECT_EQ(folder.read(name), bytes.data) << name;
    for (const char* name : kAllFiles) EXPECT_FALSE(folder.exists(std::string(name) + ".new")) << name;
    EXPECT_FALSE(folder.exists("Save.commit"));
}

// The fuzz targets reuse one database, cleared between inputs: what a
// cleared database then does must be what a new one does.
TEST_F(SaveTest, ClearedDatabaseBehavesAsANewOne) {
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    database.createSquad("Green", "", database.findUser("Alice"));
    database.registerAttempt({10, 1, 2, 3});
    randomNext(database.random);
    database.clear();

    TemporaryFolder freshFolder;
    Database fresh(settings, clock, log, freshFolder.path());
    for (Database* db : {&database, &fresh}) {
        EXPECT_EQ(db->findUser("Alice"), nullptr);
        EXPECT_EQ(db->floodTable().size(), 0u);
        UserRecord* user = db->createUser("Dave", "pw", {1, 2, 3, 4}, 5, 0);
        db->createBan(*user, nullptr, 2)->comment.set("again");
        db->addSquadMember(*db->createSquad("Red", "", user), *user);
        db->createOperator(user, 0, 0, 1, "op");
        db->createScore(*user, 10);
        EXPECT_TRUE(db->save());
    }
    EXPECT_EQ(randomNext(database.random), randomNext(fresh.random));
    for (const char* name : kAllFiles) EXPECT_EQ(folder.read(name), freshFolder.read(name)) << name;
}

TEST_F(SaveTest, NewRecordsAreWrittenInTheFileLayouts) {
    UserRecord* alice = database.createUser("Alice", "pw", {10, 1, 2, 3}, 40000, -60);
    UserRecord* bob = database.createUser("Bob", "", {}, 0, 0);
    EXPECT_EQ(alice->userID(), 1);
    EXPECT_EQ(bob->userID(), 2);
    SquadRecord* squad = database.createSquad("Wolves", "howl", alice);
    database.addSquadMember(*squad, *alice);
    ScoreRecord* score = database.createScore(*bob, 7);
    score->WordStat1 = 3;
    score->LongStat2 = -9;
    database.registerUser(*alice, "Alice Real", "alice@x", 4242)->NotifyBan = true;
    database.createOperator(alice, 2, 0, 1, "oppw");
    database.createZone(7, 2, "zonepw")->BanText.set("Go");
    database.createBanfree(2, 2, 7);
    BanRecord* ban = database.createBan(*bob, alice, 2);
    ban->rangeStart = {9, 9, 9, 0};
    ban->rangeEnd = {9, 9, 9, 255};
    ban->level = 3;
    ban->comment.set("why");

    ASSERT_TRUE(database.save());
    EXPECT_EQ(log.text(), kAllWritingLines);

    testing::UserFields a, b;
    a = {1, "Alice", scrambled("pw"), 0, 1, 0, 0, {10, 1, 2, 3}, 40000, 1000000000, 1000000000, -60, 0};
    b = {2, "Bob", "", 0, 0, 0, 0, {0, 0, 0, 0}, 0, 1000000000, 1000000000, 0, 0};
    EXPECT_EQ(folder.read("User.dat"), Bytes{}.append(testing::userRecord(a)).append(testing::userRecord(b)).data);
    EXPECT_EQ(folder.read("Squad.dat"), testing::squadRecord(1, "Wolves", scrambled("howl"), 1).data);
    EXPECT_EQ(folder.read("Score.dat"), testing::scoreRecord(1, 7, 2, 0, 3, 0, 0, 0, -9).data);
    testing::BanFields expectedBan = {1, 2, 1000000000, 1000000000, 1000000000 + 2 * 86400, {9, 9, 9, 0},
                                      {9, 9, 9, 255}, 0, 0, 1, 0, 0, 3, "Bob", "why"};
    EXPECT_EQ(folder.read("Ban.dat"), Bytes{}.i32(1).append(testing::banRecord(expectedBan)).data);
    EXPECT_EQ(folder.read("User2.dat"), testing::user2Record(1, 4242, 2, "Alice Real", "alice@x", "(No details)").data);
    EXPECT_EQ(folder.read("Op.dat"), testing::opRecord(1, 2, 0, 1, scrambled("oppw")).data);
    EXPECT_EQ(folder.read("Zone.dat"), testing::zoneRecord(7, 2, scrambled("zonepw"), "Go").data);
    EXPECT_EQ(folder.read("Banfree.dat"), testing::banfreeRecord(2, 2, 7).data);
}

TEST_F(SaveTest, SquadsAreRenumberedInOrderAndMembersComeBack) {
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    UserRecord* bob = database.findUser("bob");
    SquadRecord* green = database.createSquad("Green", "", bob);
    database.addSquadMember(*green, *bob);
    database.removeSquad(database.findSquad("Red"));  // Blue becomes 1, Green 2
    ASSERT_TRUE(database.save());

    RecordingLog reloadLog;
    Database reloaded(settings, clock, reloadLog, folder.path());
    reloaded.load();
    EXPECT_EQ(reloaded.findSquad("Blue")->squadID, 1);
    EXPECT_EQ(reloaded.findSquad("Green")->squadID, 2);
    EXPECT_EQ(reloaded.findUser("Carol")->squad, reloaded.findSquad("Blue"));
    EXPECT_EQ(reloaded.findUser("Bob")->squad, reloaded.findSquad("Green"));
    EXPECT_EQ(reloaded.findUser("Alice")->squad, nullptr);
    EXPECT_FALSE(reloadLog.contains("Squad not found"));
}

TEST_F(SaveTest, OwnerlessSquadIsReportedLeftOutAndItsMembersStoredWithoutSquad) {
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    UserRecord* b = database.createUser("B", "", {}, 0, 0);
    UserRecord* c = database.createUser("C", "", {}, 0, 0);
    database.addSquadMember(*database.createSquad("One", "", a), *a);
    database.addSquadMember(*database.createSquad("Orphan", "", nullptr), *b);
    database.addSquadMember(*database.createSquad("Three", "", c), *c);
    ASSERT_TRUE(database.save());
    EXPECT_EQ(log.text(), std::string("Writing: Squad.dat\nERROR(2)") + (kAllWritingLines + 19));
    EXPECT_EQ(folder.read("Squad.dat"), Bytes{}
                                            .append(testing::squadRecord(1, "One", "", 1))
                                            .append(testing::squadRecord(2, "Three", "", 3))
                                            .data);
    std::vector<uint8_t> users = folder.read("User.dat");
    ASSERT_EQ(users.size(), 3u * 196);
    auto squadIDOf = [&](int index) { return readInt32(users.data() + index * 196, 164); };
    EXPECT_EQ(squadIDOf(0), 1);
    EXPECT_EQ(squadIDOf(1), 0);
    EXPECT_EQ(squadIDOf(2), 2);
}

TEST_F(SaveTest, SquadsAreNumberedAlikeAfterFarMoreWereMadeThanAreLeft) {
    // Many squads made and removed since the start: the save keeps its
    // numbering another way, with the same files as a result.
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    UserRecord* b = database.createUser("B", "", {}, 0, 0);
    for (int i = 0; i < 70000; ++i) database.removeSquad(database.createSquad("Gone", "", a));
    database.addSquadMember(*database.createSquad("Orphan", "", nullptr), *a);
    database.addSquadMember(*database.createSquad("Two", "", b), *b);
    ASSERT_TRUE(database.save());
    EXPECT_EQ(folder.read("Squad.dat"), testing::squadRecord(1, "Two", "", 2).data);
    std::vector<uint8_t> users = folder.read("User.dat");
    ASSERT_EQ(users.size(), 2u * 196);
    EXPECT_EQ(readInt32(users.data(), 164), 0);
    EXPECT_EQ(readInt32(users.data() + 196, 164), 1);
}

TEST_F(SaveTest, OnlyASquadWhoseOwnerIsGoneIsLeftOutAtTheNextSave) {
    // "Kept" is owned by a member, "Left" by account 1, who is in no squad;
    // "Lost" names an account the files do not hold.
    folder.write("Squad.dat", Bytes{}
                                  .append(testing::squadRecord(1, "Kept", "", 2))
                                  .append(testing::squadRecord(2, "Left", "", 1))
                                  .append(testing::squadRecord(3, "Lost", "", 9)));
    testing::UserFields one, two;
    one = {1, "One"};
    two = {2, "Two"};
    two.squadID = 1;
    folder.write("User.dat", Bytes{}.append(testing::userRecord(one)).append(testing::userRecord(two)));
    database.load();
    log.clear();
    ASSERT_TRUE(database.save());
    EXPECT_EQ(log.text().substr(0, 36), "Writing: Squad.dat\nERROR(3)Writing: ");
    EXPECT_EQ(folder.read("Squad.dat"), Bytes{}
                                            .append(testing::squadRecord(1, "Kept", "", 2))
                                            .append(testing::squadRecord(2, "Left", "", 1))
                                            .data);
}

TEST_F(SaveTest, RegistrationWithoutAccountIsIgnoredWithItsRealName) {
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    database.registerUser(*a, "Kept", "", 0);
    User2Record* orphan = database.registerUser(*a, "Nobody Real", "", 0);
    orphan->user = nullptr;
    ASSERT_TRUE(database.save());
    EXPECT_TRUE(log.contains("Writing: User2.dat\nIgnored: Nobody Real\nWriting: Op.dat\n"));
    EXPECT_EQ(folder.read("User2.dat").size(), 201u);
}

TEST_F(SaveTest, BuiltInOperatorIsNeverWritten) {
    readConfiguration(settings, database, log);
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    database.createOperator(a, 0, 0, 2, "x");
    ASSERT_TRUE(database.save());
    EXPECT_EQ(folder.read("Op.dat"), testing::opRecord(1, 0, 0, 2, scrambled("x")).data);
}

TEST_F(SaveTest, ShrunkTablesLeaveNoStaleRecordsAndBanCounterStays) {
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    for (int i = 0; i < 3; ++i) database.createBan(*a, nullptr, 1);
    ASSERT_TRUE(database.save());
    EXPECT_EQ(folder.read("Ban.dat").size(), 4u + 3 * 145);
    while (!database.bans().empty()) database.removeBan(database.bans().head());
    ASSERT_TRUE(database.save());
    EXPECT_EQ(folder.read("Ban.dat"), Bytes{}.i32(3).data);
    EXPECT_EQ(database.createBan(*a, nullptr, 1)->banID(), 4);
}

TEST_F(SaveTest, ExpiredBansGoOnlyWhenEarlierThanNow) {
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    BanRecord* past = database.createBan(*a, nullptr, 0);
    past->expires = 99;
    BanRecord* now = database.createBan(*a, nullptr, 0);
    now->expires = 100;
    database.removeExpiredBans(100);
    ASSERT_EQ(database.bans().count(), 1u);
    EXPECT_EQ(database.bans().head(), now);
    EXPECT_EQ(database.findBanByID(1), nullptr);
    EXPECT_EQ(database.findBanByID(2), now);
}

TEST_F(SaveTest, MissingFolderReportsEveryFileAndWritesNothing) {
    Database lost(settings, clock, log, folder.file("no/such/folder"));
    Status saved = lost.save();
    EXPECT_FALSE(saved);
    std::string expected;
    for (const char* name : kAllFiles) expected += std::string(name) + ": File or path not found\n";
    EXPECT_EQ(log.text(), expected);
    // The failure's reason is the first of those lines.
    EXPECT_EQ(saved.reason(), expected.substr(0, expected.find('\n')));
}

TEST_F(SaveTest, FileThatCannotBeCreatedKeepsItsOldContentAndOthersAreWritten) {
    folder.write("Zone.dat", testing::zoneRecord(1, 1, "old", ""));
    std::filesystem::create_directory(folder.file("Zone.dat.new"));
    database.createZone(2, 2, "new");
    database.createBanfree(5, 0, 0);
    EXPECT_FALSE(database.save());
    EXPECT_TRUE(log.contains("Writing: Op.dat\nZone.dat: Tried to open read-only file for writing, or file\xE2\x80\x99s "
                             "sharing mode does not allow specified operations, or given path is directory\n"
                             "Writing: Banfree.dat\n"));
    EXPECT_EQ(folder.read("Zone.dat"), testing::zoneRecord(1, 1, "old", "").data);
    EXPECT_EQ(folder.read("Banfree.dat"), testing::banfreeRecord(5, 0, 0).data);
}

TEST_F(SaveTest, SquadFileIsKeptWhenUserFileCannotBeWritten) {
    // Old set: Red = 1 (Alice), Blue = 2 (Carol).
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    database.removeSquad(database.findSquad("Red"));  // would make Blue 1
    std::filesystem::create_directory(folder.file("User.dat.new"));
    log.clear();
    Status saved = database.save();
    EXPECT_FALSE(saved);
    EXPECT_TRUE(log.contains("Squad.dat: Kept, since User.dat could not be written\n"));
    EXPECT_TRUE(log.contains(saved.reason() + "\n")) << saved.reason();
    EXPECT_EQ(saved.reason().rfind("User.dat: ", 0), 0u) << saved.reason();
    EXPECT_EQ(folder.read("Squad.dat"), set.files["Squad.dat"].data);
    EXPECT_EQ(folder.read("User.dat"), set.files["User.dat"].data);
    EXPECT_EQ(database.findSquad("Blue")->squadID, 2);
}

TEST_F(SaveTest, UserFileIsKeptWhenSquadFileCannotBeWritten) {
    // Old set: Red = 1 (Alice), Blue = 2 (Carol). The new files would make
    // Blue 1: a new User.dat beside the old Squad.dat would put Carol in Red.
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    database.removeSquad(database.findSquad("Red"));
    database.createBan(*database.findUser("Bob"), nullptr, 1);
    std::filesystem::create_directory(folder.file("Squad.dat.new"));
    log.clear();
    EXPECT_FALSE(database.save());
    EXPECT_TRUE(log.contains("Writing: Banfree.dat\nUser.dat: Kept, since Squad.dat could not be written\n"))
        << log.text();
    EXPECT_EQ(folder.read("Squad.dat"), set.files["Squad.dat"].data);
    EXPECT_EQ(folder.read("User.dat"), set.files["User.dat"].data);
    EXPECT_EQ(folder.read("Ban.dat").size(), 4u + 3 * 145);  // the other files are replaced
    EXPECT_FALSE(folder.exists("User.dat.new"));

    std::filesystem::remove(folder.file("Squad.dat.new"));
    Database reloaded(settings, clock, log, folder.path());
    reloaded.load();
    EXPECT_EQ(reloaded.findUser("Carol")->squad, reloaded.findSquad("Blue"));
}

TEST_F(SaveTest, UserFileIsKeptWhenSquadFileCannotBeReplaced) {
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    database.removeSquad(database.findSquad("Red"));
    database.createBan(*database.findUser("Bob"), nullptr, 1);
    // A folder in the way of the new Squad.dat.
    std::filesystem::remove(folder.file("Squad.dat"));
    std::filesystem::create_directories(folder.file("Squad.dat/inside"));
    log.clear();
    EXPECT_FALSE(database.save());
    EXPECT_TRUE(log.contains("Writing: Banfree.dat\nSquad.dat: Tried to open read-only file for writing, or "
                             "file\xE2\x80\x99s sharing mode does not allow specified operations, or given path is "
                             "directory\nUser.dat: Kept, since Squad.dat could not be replaced\n"))
        << log.text();
    EXPECT_EQ(folder.read("User.dat"), set.files["User.dat"].data);
    EXPECT_EQ(folder.read("Ban.dat").size(), 4u + 3 * 145);  // the other files are replaced
    EXPECT_FALSE(folder.exists("Squad.dat.new"));
    EXPECT_FALSE(folder.exists("User.dat.new"));
    // A save changes no number in memory: Blue is still 2, as in the files.
    EXPECT_EQ(database.findSquad("Blue")->squadID, 2);
}

TEST_F(SaveTest, SaveWithoutItsCommitRecordKeepsTheWholeOldSet) {
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    database.removeSquad(database.findSquad("Red"));
    database.createUser("Dave", "", {}, 0, 0);
    // Something in the way of the commit record.
    std::filesystem::create_directory(folder.file("Save.commit.new"));
    log.clear();
    EXPECT_FALSE(database.save());
    EXPECT_EQ(log.text(), std::string(kAllWritingLines) + "Save.commit: Could not be written; the old files are kept\n");
    for (auto& [name, bytes] : set.files) EXPECT_EQ(folder.read(name), bytes.data) << name;
    for (const char* name : kAllFiles) EXPECT_FALSE(folder.exists(std::string(name) + ".new")) << name;
    EXPECT_EQ(database.findSquad("Blue")->squadID, 2);
}

// A save cut short at a step, as by a crash, still leaves a
// folder that loads as one whole set, old or new.
struct InterruptionCase {
    Database::SaveStep step;
    DatFile file;
    bool newSetExpected;
};

class InterruptedSaveTest : public SaveTest, public ::testing::WithParamInterface<InterruptionCase> {};

TEST_P(InterruptedSaveTest, LeavesALoadableConsistentSet) {
    CanonicalSet set;
    for (auto& [name, bytes] : set.files) folder.write(name, bytes);
    database.load();
    // Renumbering: Red goes, so Blue becomes SquadID 1 in the new set.
    database.removeSquad(database.findSquad("Red"));
    database.createUser("Dave", "", {}, 0, 0);
    const InterruptionCase& c = GetParam();
    database.setSaveInterruption([&](Database::SaveStep step, DatFile file) {
        return !(step == c.step && (step == Database::SaveStep::Commit || file == c.file));
    });
    Status saved = database.save();
    EXPECT_FALSE(saved);
    EXPECT_EQ(saved.reason(), "the save was stopped before its end");

    RecordingLog reloadLog;
    Database reloaded(settings, clock, reloadLog, folder.path());
    reloaded.load();
    UserRecord* alice = reloaded.findUser("Alice");
    UserRecord* carol = reloaded.findUser("Carol");
    SquadRecord* blue = reloaded.findSquad("Blue");
    ASSERT_TRUE(alice && carol && blue);
    EXPECT_EQ(carol->squad, blue);
    EXPECT_EQ(blue->owner, carol);
    EXPECT_FALSE(reloadLog.contains("not found"));
    if (c.newSetExpected) {
        EXPECT_EQ(reloaded.findSquad("Red"), nullptr);
        EXPECT_EQ(alice->squad, nullptr);
        EXPECT_NE(reloaded.findUser("Dave"), nullptr);
    } else {
        EXPECT_EQ(alice->squad, reloaded.findSquad("Red"));
        EXPECT_EQ(reloaded.findUser("Dave"), nullptr);
    }
    for (const char* name : kAllFiles) EXPECT_FALSE(folder.exists(std::string(name) + ".new")) << name;
    EXPECT_FALSE(folder.exists("Save.commit"));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InterruptedSaveTest,
    ::testing::Values(InterruptionCase{Database::SaveStep::Write, DatFile::Squad, false},
                      InterruptionCase{Database::SaveStep::Write, DatFile::Banfree, false},
                      InterruptionCase{Database::SaveStep::Commit, DatFile::Squad, false},
                      InterruptionCase{Database::SaveStep::Rename, DatFile::Squad, true},
                      InterruptionCase{Database::SaveStep::Rename, DatFile::User, true},
                      InterruptionCase{Database::SaveStep::Rename, DatFile::Banfree, true}));

}  // namespace
}  // namespace tallysv
