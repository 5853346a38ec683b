// Reading the eight .dat files: headings, count lines, messages, fix-ups
// and damaged input.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "db_fixtures.h"

namespace tallysv {
namespace {

using testing::Bytes;
using testing::TemporaryFolder;

class LoadTest : public ::testing::Test {
protected:
    FakeClock clock;
    RecordingLog log;
    TemporaryFolder folder;
    Settings settings;
    Database database{settings, clock, log, folder.path()};
};

TEST_F(LoadTest, EmptyUserFileGivesHeadingAndZeroCount) {
    folder.write("User.dat", Bytes{});
    database.load();
    EXPECT_EQ(log.text(), "Reading User.dat: 0 user entries found\n");
    EXPECT_TRUE(database.users().empty());
}

TEST_F(LoadTest, NoFilesAtAllIsSilent) {
    database.load();
    EXPECT_EQ(log.text(), "");
}

// A whole set with references that resolve, dangle and are missing.
class FullSetTest : public LoadTest {
protected:
    void SetUp() override {
        folder.write("Zone.dat", Bytes{}
                                     .append(testing::zoneRecord(10, 3, "zpw", "Go away"))
                                     .append(testing::zoneRecord(11, 3, std::string(32, 'x'), std::string(128, 'y'))));
        folder.write("Banfree.dat", testing::banfreeRecord(2, 0, 0));
        folder.write("Squad.dat", Bytes{}
                                      .append(testing::squadRecord(7, "Red", "sq", 1))
                                      .append(testing::squadRecord(9, "Blue", "", 3))
                                      .append(testing::squadRecord(4, "Green", "", 99)));
        testing::BanFields ban1;
        ban1.banID = 2;
        ban1.userID = 3;
        ban1.bannedBy = 1;
        ban1.name = "Carol";
        ban1.comment = "spam";
        testing::BanFields ban2;
        ban2.banID = 5;
        folder.write("Ban.dat", Bytes{}.i32(5).append(testing::banRecord(ban1)).append(testing::banRecord(ban2)));
        testing::UserFields alice, bob, carol, dave;
        alice.userID = 1, alice.name = "Alice", alice.squadID = 7;
        bob.userID = 2, bob.name = "Bob";
        carol.userID = 3, carol.name = "Carol", carol.squadID = 9;
        dave.userID = 4, dave.name = "Dave", dave.squadID = 42;
        folder.write("User.dat", Bytes{}
                                     .append(testing::userRecord(alice))
                                     .append(testing::userRecord(bob))
                                     .append(testing::userRecord(carol))
                                     .append(testing::userRecord(dave)));
        folder.write("User2.dat", Bytes{}
                                      .append(testing::user2Record(1, 111, 0x05, "Alice A", "a@x", "(No details)"))
                                      .append(testing::user2Record(77, 0, 0, "Ghost", "", ""))
                                      .append(testing::user2Record(3, 333, 0x02, "Carol C", "c@x", "")));
        folder.write("Op.dat", Bytes{}.append(testing::opRecord(1, 0, 0, 1, "op")).append(testing::opRecord(50, 0, 0, 2, "x")));
        folder.write("Score.dat", Bytes{}
                                      .append(testing::scoreRecord(1, 10, 1, 2, 1, 2, 3, 4, 5))
                                      .append(testing::scoreRecord(2, 10, 60, 2, 0, 0, 0, 0, 0))
                                      .append(testing::scoreRecord(3, 11, 3, 2, -1, -2, -3, -4, -5)));
        database.load();
    }
};

TEST_F(FullSetTest, PrintsHeadingsCountsAndMessagesInLoadOrder) {
    EXPECT_EQ(log.text(),
              "Reading Zone.dat: 2 zone entries found\n"
              "Reading Banfree.dat: 1 banfree entries found\n"
              "Reading Squad.dat: 3 squad entries found\n"
              "Reading Ban.dat: 2 ban entries found\n"
              "Reading User.dat: \nSquad not found(4:Dave): 4 user entries found\n"
              "Reading User2.dat: 2 user2 entries found\n"
              "Reading Op.dat: \nOperator not found(50): 1 operator entries found\n"
              "Reading Score.dat: \nUser not found(2:60): 2 score entries found\n");
}

TEST_F(FullSetTest, LinksSquadsBansRegistrationsOperatorsAndScores) {
    UserRecord* alice = database.findUserByID(1);
    UserRecord* bob = database.findUserByID(2);
    UserRecord* carol = database.findUserByID(3);
    UserRecord* dave = database.findUserByID(4);
    ASSERT_TRUE(alice && bob && carol && dave);

    SquadRecord* red = database.findSquad("red");
    SquadRecord* blue = database.findSquad("BLUE");
    SquadRecord* green = database.findSquad("Green");
    ASSERT_TRUE(red && blue && green);
    EXPECT_EQ(red->owner, alice);
    EXPECT_EQ(red->members(), std::vector<UserRecord*>{alice});
    EXPECT_EQ(alice->squad, red);
    EXPECT_EQ(blue->owner, carol);
    EXPECT_EQ(carol->squad, blue);
    EXPECT_EQ(green->owner, nullptr);
    EXPECT_TRUE(green->members().empty());
    EXPECT_EQ(bob->squad, nullptr);
    EXPECT_EQ(dave->squad, nullptr);

    EXPECT_EQ(database.lastBanID(), 5);
    ASSERT_EQ(database.bans().count(), 2u);
    EXPECT_EQ(database.findBanByID(2)->bannedBy, alice);
    EXPECT_EQ(database.findBanByID(2)->name.view(), "Carol");
    EXPECT_EQ(database.findBanByID(2)->comment.view(), "spam");
    EXPECT_EQ(database.findBanByID(5)->bannedBy, nullptr);

    ASSERT_NE(alice->registration(), nullptr);
    EXPECT_EQ(alice->registration()->user, alice);
    EXPECT_EQ(alice->registration()->hardwareID(), 111);
    EXPECT_TRUE(alice->registration()->NotifyChat);
    EXPECT_FALSE(alice->registration()->NotifyBan);
    EXPECT_TRUE(alice->registration()->NotifyZone);
    EXPECT_EQ(alice->registration()->realName.view(), "Alice A");
    ASSERT_NE(carol->registration(), nullptr);
    EXPECT_TRUE(carol->registration()->NotifyBan);
    EXPECT_EQ(bob->registration(), nullptr);

    ASSERT_EQ(database.operators().count(), 1u);
    EXPECT_EQ(database.operators().head()->user, alice);
    EXPECT_EQ(database.operators().head()->level, 1);
    EXPECT_EQ(database.operators().head()->sessionCount, 0);

    ASSERT_EQ(database.scores().count(), 2u);
    const ScoreRecord* first = database.scores().head();
    EXPECT_EQ(first->user, alice);
    EXPECT_EQ(first->scoreID, 10);
    EXPECT_EQ(first->WordStat3, 3);
    EXPECT_EQ(first->LongStat2, 5);
    const ScoreRecord* second = first->tableNext();
    EXPECT_EQ(second->user, carol);
    EXPECT_EQ(second->LongStat1, -4);

    EXPECT_EQ(database.findBanfree(2, 123)->userID(), 2);
    EXPECT_EQ(database.findZone(10)->BanText.view(), "Go away");
}

TEST_F(FullSetTest, TextFieldsWithoutNulAreCutToFit) {
    ZoneRecord* zone = database.findZone(11);
    ASSERT_NE(zone, nullptr);
    EXPECT_EQ(zone->BanText.view(), std::string(127, 'y'));
    PasswordField expected{};
    std::fill(expected.begin(), expected.begin() + 31, static_cast<uint8_t>('x'));
    EXPECT_EQ(zone->password, expected);
}

TEST_F(LoadTest, OverlongNamesAndRegistrationTextsAreCut) {
    testing::UserFields user;
    user.name = std::string(32, 'N');
    user.password = std::string(32, 'P');
    folder.write("User.dat", testing::userRecord(user));
    folder.write("User2.dat", testing::user2Record(1, 0, 0, std::string(32, 'R'), std::string(32, 'E'),
                                                   std::string(128, 'D')));
    testing::BanFields ban;
    ban.name = std::string(32, 'B');
    ban.comment = std::string(64, 'C');
    folder.write("Ban.dat", Bytes{}.i32(1).append(testing::banRecord(ban)));
    folder.write("Squad.dat", testing::squadRecord(1, std::string(32, 'S'), std::string(32, 'Q'), 1));
    database.load();
    const UserRecord* loaded = database.users().head();
    EXPECT_EQ(loaded->name(), std::string(31, 'N'));
    EXPECT_EQ(loaded->password[30], 'P');
    EXPECT_EQ(loaded->password[31], 0);
    EXPECT_EQ(loaded->registration()->realName.view(), std::string(31, 'R'));
    EXPECT_EQ(loaded->registration()->email.view(), std::string(31, 'E'));
    EXPECT_EQ(loaded->registration()->details.view(), std::string(127, 'D'));
    EXPECT_EQ(database.bans().head()->name.view(), std::string(31, 'B'));
    EXPECT_EQ(database.bans().head()->comment.view(), std::string(63, 'C'));
    EXPECT_EQ(database.squads().head()->name(), std::string(31, 'S'));
}

// A short record at the end counts when it reaches into its last field.
struct ShortTail {
    const char* file;
    int lastFieldOffset;
    const char* countLine;  // with %d for the count
};

class ShortTailTest : public LoadTest, public ::testing::WithParamInterface<ShortTail> {};

Bytes sampleRecord(const std::string& file) {
    testing::UserFields user;
    testing::BanFields ban;
    if (file == "User.dat") return testing::userRecord(user);
    if (file == "User2.dat") return testing::user2Record(1, 5, 1, "R", "E", "D");
    if (file == "Score.dat") return testing::scoreRecord(1, 1, 1, 0, 1, 2, 3, 4, 5);
    if (file == "Squad.dat") return testing::squadRecord(3, "Sq", "pw", 1);
    if (file == "Ban.dat") return testing::banRecord(ban);
    if (file == "Banfree.dat") return testing::banfreeRecord(1, 2, 3);
    if (file == "Op.dat") return testing::opRecord(1, 0, 0, 2, "pw");
    return testing::zoneRecord(1, 2, "pw", "text");
}

TEST_P(ShortTailTest, PartialLastFieldCountsAndLessDoesNot) {
    const ShortTail& c = GetParam();
    Bytes record = sampleRecord(c.file);
    for (int extra : {c.lastFieldOffset, c.lastFieldOffset + 1}) {
        RecordingLog runLog;
        TemporaryFolder runFolder;
        if (std::string(c.file) != "User.dat") {
            testing::UserFields user;  // the account the other files refer to
            runFolder.write("User.dat", testing::userRecord(user));
        }
        Bytes file;
        if (std::string(c.file) == "Ban.dat") file.i32(1);
        file.append(record);
        file.data.insert(file.data.end(), record.data.begin(), record.data.begin() + extra);
        runFolder.write(c.file, file);
        Settings settings;
        Database db(settings, clock, runLog, runFolder.path());
        db.load();
        int expected = extra > c.lastFieldOffset ? 2 : 1;
        char line[128];
        std::snprintf(line, sizeof line, c.countLine, expected);
        EXPECT_TRUE(runLog.contains(std::string("Reading ") + c.file + ": " + line)) << c.file << " with " << extra
                                                                                      << " bytes: " << runLog.text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryFile, ShortTailTest,
    ::testing::Values(ShortTail{"User.dat", 194, "%d user entries found\n"},
                      ShortTail{"User2.dat", 73, "%d user2 entries found\n"},
                      ShortTail{"Score.dat", 24, "%d score entries found\n"},
                      ShortTail{"Squad.dat", 68, "%d squad entries found\n"},
                      ShortTail{"Ban.dat", 81, "%d ban entries found\n"},
                      ShortTail{"Banfree.dat", 8, "%d banfree entries found\n"},
                      ShortTail{"Op.dat", 13, "%d operator entries found\n"},
                      ShortTail{"Zone.dat", 40, "%d zone entries found\n"}));

TEST_F(LoadTest, ShortRecordGetsZerosForItsMissingBytes) {
    testing::UserFields user;
    user.passBlock = 0x0201;
    Bytes bytes = testing::userRecord(user);
    bytes.data.pop_back();  // the high byte of PassBlock is missing
    folder.write("User.dat", bytes);
    database.load();
    ASSERT_EQ(database.users().count(), 1u);
    EXPECT_EQ(database.users().head()->passBlock, 1);
}

struct BanHeaderCase {
    std::vector<uint8_t> header;
    int32_t lastBanID;
};

class BanHeaderTest : public LoadTest, public ::testing::WithParamInterface<BanHeaderCase> {};

TEST_P(BanHeaderTest, CounterIsReadAndNeverNegative) {
    folder.write("Ban.dat", GetParam().header);
    database.load();
    EXPECT_EQ(log.text(), "Reading Ban.dat: 0 ban entries found\n");
    EXPECT_EQ(database.lastBanID(), GetParam().lastBanID);
}

INSTANTIATE_TEST_SUITE_P(Headers, BanHeaderTest,
                         ::testing::Values(BanHeaderCase{{}, 0}, BanHeaderCase{{0x07, 0, 0, 0}, 7},
                                           BanHeaderCase{{0x05}, 5}, BanHeaderCase{{0x34, 0x12}, 0x1234},
                                           BanHeaderCase{{0xFF, 0xFF, 0xFF, 0xFF}, 0},
                                           BanHeaderCase{{0, 0, 0, 0x80}, 0},
                                           BanHeaderCase{{0xFF, 0xFF, 0xFF, 0x7F}, 0x7FFFFFFF}));

TEST_F(LoadTest, NewBanAfterLoadContinuesTheCounter) {
    folder.write("Ban.dat", Bytes{}.i32(41));
    database.load();
    UserRecord* user = database.createUser("Eve", "pw", {}, 0, 0);
    EXPECT_EQ(database.createBan(*user, nullptr, 1)->banID(), 42);
}

TEST_F(LoadTest, OwnerWhoIsInNoSquadStillOwnsTheSquad) {
    // An owner may leave his squad or hand it on and keep owning it.
    folder.write("Squad.dat", testing::squadRecord(1, "Lonely", "", 1));
    testing::UserFields user;  // UserID 1, SquadID 0
    folder.write("User.dat", testing::userRecord(user));
    database.load();
    EXPECT_EQ(database.findSquad("Lonely")->owner, database.findUserByID(1));
    EXPECT_TRUE(database.findSquad("Lonely")->members().empty());
}

TEST_F(LoadTest, OwnerInAnotherSquadStillOwns) {
    folder.write("Squad.dat", Bytes{}
                                  .append(testing::squadRecord(1, "Mine", "", 1))
                                  .append(testing::squadRecord(2, "Other", "", 2)));
    testing::UserFields a, b;
    a.userID = 1, a.name = "A", a.squadID = 2;
    b.userID = 2, b.name = "B", b.squadID = 2;
    folder.write("User.dat", Bytes{}.append(testing::userRecord(a)).append(testing::userRecord(b)));
    database.load();
    EXPECT_EQ(database.findSquad("Mine")->owner, database.findUserByID(1));
    EXPECT_EQ(database.findSquad("Other")->members().size(), 2u);
}

TEST_F(LoadTest, DuplicateSquadIDsPutAMemberIntoOneSquadOnly) {
    folder.write("Squad.dat", Bytes{}
                                  .append(testing::squadRecord(1, "First", "", 1))
                                  .append(testing::squadRecord(1, "Second", "", 1)));
    testing::UserFields user;
    user.squadID = 1;
    folder.write("User.dat", testing::userRecord(user));
    database.load();
    UserRecord* loaded = database.findUserByID(1);
    SquadRecord* first = database.findSquad("First");
    SquadRecord* second = database.findSquad("Second");
    EXPECT_EQ(loaded->squad, first);
    EXPECT_EQ(first->members(), std::vector<UserRecord*>{loaded});
    EXPECT_TRUE(second->members().empty());
    // Both squads name the account as owner and it is in a squad.
    EXPECT_EQ(first->owner, loaded);
    EXPECT_EQ(second->owner, loaded);
}

TEST_F(LoadTest, LaterAccountWithTheSameUserIDTakesBansButLookupsFindTheFirst) {
    testing::BanFields ban;
    ban.bannedBy = 5;
    folder.write("Ban.dat", Bytes{}.i32(1).append(testing::banRecord(ban)));
    testing::UserFields a, b;
    a.userID = 5, a.name = "Early";
    b.userID = 5, b.name = "Late";
    folder.write("User.dat", Bytes{}.append(testing::userRecord(a)).append(testing::userRecord(b)));
    folder.write("User2.dat", testing::user2Record(5, 0, 0, "R", "", ""));
    database.load();
    EXPECT_EQ(database.bans().head()->bannedBy->name(), "Late");
    EXPECT_EQ(database.findUserByID(5)->name(), "Early");
    EXPECT_NE(database.findUser("Early")->registration(), nullptr);
    EXPECT_EQ(database.findUser("Late")->registration(), nullptr);
}

TEST_F(LoadTest, BanWithoutBannedByIsNotGivenToAnAccountNumberedZero) {
    testing::BanFields ban;
    ban.bannedBy = 0;
    folder.write("Ban.dat", Bytes{}.i32(1).append(testing::banRecord(ban)));
    testing::UserFields zero;
    zero.userID = 0;
    folder.write("User.dat", testing::userRecord(zero));
    database.load();
    EXPECT_EQ(database.bans().head()->bannedBy, nullptr);
}

TEST_F(LoadTest, OperatorCountLeavesOutTheBuiltInOperator) {
    std::string ini = "[Misc]\nSysopPassword=secret\n";
    folder.write("TALLYSV.INI", std::vector<uint8_t>(ini.begin(), ini.end()));
    testing::UserFields user;
    folder.write("User.dat", testing::userRecord(user));
    folder.write("Op.dat", testing::opRecord(1, 0, 0, 3, "pw"));
    readConfiguration(settings, database, log);
    database.load();
    EXPECT_TRUE(log.contains("Reading Op.dat: 1 operator entries found\n"));
    ASSERT_EQ(database.operators().count(), 2u);
    const OperatorRecord* builtIn = database.operators().head();
    EXPECT_EQ(builtIn->user, nullptr);
    EXPECT_EQ(builtIn->level, 0);
    EXPECT_EQ(builtIn->groupID, 0);
    EXPECT_EQ(builtIn->scoreID, 0);
    EXPECT_EQ(builtIn->password, scrambledPassword("secret"));
}

TEST_F(LoadTest, SecondConfigurationReadingAddsNoOperator) {
    readConfiguration(settings, database, log);
    readConfiguration(settings, database, log);
    EXPECT_EQ(database.operators().count(), 1u);
}

TEST_F(LoadTest, FileOfAnotherLayoutLoadsAsGarbageWithoutFault) {
    // A Zone.dat given as User.dat: 168-byte records read as 196-byte ones.
    Bytes zones;
    for (int i = 0; i < 7; ++i) zones.append(testing::zoneRecord(i, i, "pw", "text"));
    folder.write("User.dat", zones);  // 1176 bytes = 6 user records exactly
    database.load();
    EXPECT_EQ(log.text(), "Reading User.dat: 6 user entries found\n");
}

TEST_F(LoadTest, LoadingFromMemoryMatchesLoadingTheFiles) {
    testing::UserFields user;
    user.squadID = 3;
    DatImages images;
    images[static_cast<size_t>(DatFile::User)] = testing::userRecord(user).data;
    images[static_cast<size_t>(DatFile::Squad)] = testing::squadRecord(3, "S", "", 1).data;
    database.loadImages(images);
    EXPECT_EQ(log.text(),
              "Reading Squad.dat: 1 squad entries found\n"
              "Reading User.dat: 1 user entries found\n");
    EXPECT_EQ(database.findSquad("S")->owner, database.findUserByID(1));
}

}  // namespace
}  // namespace tallysv

namespace tallysv {
namespace {

TEST(LoadImagesTest, EmptyImagesOfEveryFileLoadAsEmptyTables) {
    FakeClock clock;
    RecordingLog log;
    Settings settings;
    Database database(settings, clock, log);
    DatImages images;
    for (auto& image : images) image = std::vector<uint8_t>{};
    database.loadImages(images);
    EXPECT_EQ(log.text(),
              "Reading Zone.dat: 0 zone entries found\n"
              "Reading Banfree.dat: 0 banfree entries found\n"
              "Reading Squad.dat: 0 squad entries found\n"
              "Reading Ban.dat: 0 ban entries found\n"
              "Reading User.dat: 0 user entries found\n"
              "Reading User2.dat: 0 user2 entries found\n"
              "Reading Op.dat: 0 operator entries found\n"
              "Reading Score.dat: 0 score entries found\n");
}

}  // namespace
}  // namespace tallysv
