// The database tool's dump and set check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <sstream>

#include "core/clock.h"
#include "core/log.h"
#include "db/dat_tool.h"
#include "db/database.h"
#include "db/folder_lock.h"
#include "db_fixtures.h"

namespace tallysv {
namespace {

using testing::Bytes;
using testing::TemporaryFolder;

TEST(DatDumpTest, PrintsEveryRecordAsOneJsonLine) {
    TemporaryFolder folder;
    testing::UserFields user = {7, "Q\"uote\xE9", "\x01\xFF", 0x0F, 2, 3, 4, {10, 0, 0, 1}, 5, 6, 8, -60, 1};
    folder.write("user.DAT", testing::userRecord(user));
    std::ostringstream out;
    Status dumped = dumpDatFile(folder.file("user.DAT"), out);
    ASSERT_TRUE(dumped) << dumped.reason();
    EXPECT_EQ(out.str(),
              "{\"record\":1,\"UserID\":7,\"name\":\"Q\\\"uote\\u00e9\",\"password\":\"01ff\",\"banner\":\"" +
                  std::string(192, '0').replace(0, 192, [] {
                      std::string s;
                      for (int i = 0; i < 96; ++i) s += "0f";
                      return s;
                  }()) +
                  "\",\"SquadID\":2,\"Usage\":3,\"Logins\":4,\"address\":\"10.0.0.1\",\"MachineID\":5,"
                  "\"lastLogin\":6,\"created\":8,\"TimeZoneBias\":-60,\"PassBlock\":1}\n");
}

TEST(DatDumpTest, EveryFileShowsEveryFieldInFileOrder) {
    testing::BanFields ban;
    ban.banID = 3;
    ban.userID = 7;
    ban.lastHit = 11;
    ban.created = 12;
    ban.expires = 13;
    std::copy_n(std::array<uint8_t, 4>{10, 1, 2, 3}.data(), 4, ban.start);
    std::copy_n(std::array<uint8_t, 4>{10, 1, 2, 255}.data(), 4, ban.end);
    ban.machineID = 14;
    ban.hardwareID = 15;
    ban.bannedBy = 16;
    ban.scoreID = 17;
    ban.groupID = 18;
    ban.level = 2;
    ban.name = "Nm";
    ban.comment = "Why";
    const struct {
        const char* file;
        Bytes bytes;
        const char* line;
    } cases[] = {
        {"User2.dat", testing::user2Record(7, -9, 5, "Real", "e@x", "Det\x01"),
         R"({"record":1,"UserID":7,"HardwareID":-9,"NotifyChat":true,"NotifyBan":false,"NotifyZone":true,"flags":5,)"
         R"("realName":"Real","email":"e@x","details":"Det\u0001"})"},
        {"Score.dat", testing::scoreRecord(1, 12, 7, -1, 3, -4, 5, 600, -70),
         R"({"record":1,"sequence":1,"ScoreID":12,"UserID":7,"countLessOne":-1,"WordStat1":3,"WordStat2":-4,)"
         R"("WordStat3":5,"LongStat1":600,"LongStat2":-70})"},
        {"Squad.dat", testing::squadRecord(4, "Red", "ab", 7),
         R"({"record":1,"SquadID":4,"name":"Red","password":"6162","ownerUserID":7})"},
        {"Ban.dat", Bytes{}.i32(9).append(testing::banRecord(ban)),
         R"({"lastBanID":9})"
         "\n"
         R"({"record":1,"BanID":3,"UserID":7,"LastHit":11,"Created":12,"Expires":13,"RangeStart":"10.1.2.3",)"
         R"("RangeEnd":"10.1.2.255","MachineID":14,"HardwareID":15,"BannedByUserID":16,"ScoreID":17,"GroupID":18,)"
         R"("level":2,"Name":"Nm","Comment":"Why"})"},
        {"Banfree.dat", testing::banfreeRecord(7, 8, 9), R"({"record":1,"UserID":7,"GroupID":8,"ScoreID":9})"},
        {"Op.dat", testing::opRecord(7, 8, 9, 3, "pw"),
         R"({"record":1,"UserID":7,"GroupID":8,"ScoreID":9,"level":3,"password":"7077"})"},
        {"Zone.dat", testing::zoneRecord(12, 3, "zp", "Go \"away\""),
         R"({"record":1,"ScoreID":12,"GroupID":3,"password":"7a70","BanText":"Go \"away\""})"},
    };
    for (const auto& c : cases) {
        TemporaryFolder folder;
        folder.write(c.file, c.bytes);
        std::ostringstream out;
        Status dumped = dumpDatFile(folder.file(c.file), out);
        ASSERT_TRUE(dumped) << c.file << ": " << dumped.reason();
        EXPECT_EQ(out.str(), std::string(c.line) + "\n") << c.file;
    }
}

TEST(DatDumpTest, BanFileStartsWithItsCounter) {
    TemporaryFolder folder;
    testing::BanFields ban;
    ban.banID = 3;
    ban.name = "X";
    folder.write("Ban.dat.new", Bytes{}.i32(-4).append(testing::banRecord(ban)));
    std::ostringstream out;
    Status dumped = dumpDatFile(folder.file("Ban.dat.new"), out);
    ASSERT_TRUE(dumped) << dumped.reason();
    EXPECT_EQ(out.str().substr(0, out.str().find('\n') + 1), "{\"lastBanID\":-4}\n");
    EXPECT_NE(out.str().find("{\"record\":1,\"BanID\":3,"), std::string::npos);
}

TEST(DatDumpTest, RefusesUnknownNamesAndMissingFiles) {
    TemporaryFolder folder;
    std::ostringstream out;
    Status unknown = dumpDatFile(folder.file("Other.dat"), out);
    EXPECT_FALSE(unknown);
    EXPECT_EQ(unknown.reason(), "not a database file name (User.dat, User2.dat, Score.dat, Squad.dat, Ban.dat, "
                                "Banfree.dat, Op.dat, Zone.dat): " + folder.file("Other.dat"));
    Status missing = dumpDatFile(folder.file("Zone.dat"), out);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.reason(), "cannot open " + folder.file("Zone.dat"));
    EXPECT_EQ(out.str(), "");
}

TEST(SetCheckTest, SetWrittenByTheServerHasNoProblems) {
    TemporaryFolder folder;
    FakeClock clock;
    RecordingLog log;
    Settings settings;
    Database database(settings, clock, log, folder.path());
    UserRecord* a = database.createUser("A", "", {}, 0, 0);
    UserRecord* b = database.createUser("B", "", {}, 0, 0);
    database.addSquadMember(*database.createSquad("S", "", a), *a);
    database.createBan(*b, a, 1);
    database.createScore(*a, 1);
    database.registerUser(*b, "B", "", 0);
    database.createOperator(a, 0, 0, 1, "");
    database.createBanfree(2, 0, 0);
    database.createZone(1, 1, "");
    ASSERT_TRUE(database.save());
    SetCheck check = checkDatabaseSet(folder.path());
    EXPECT_TRUE(check.problems.empty()) << check.problems.front();
    EXPECT_EQ(check.notes.front(), "User.dat: 2 records");
}

// A folder that a server holds is read all the same, with a note first;
// the check leaves no lock behind.
TEST(SetCheckTest, SaysWhenAServerHoldsTheFolder) {
    TemporaryFolder folder;
    EXPECT_EQ(checkDatabaseSet(folder.path()).notes.front(), "User.dat: not present");
    {
        FolderLock lock(folder.path());
        Status taken = lock.tryTake();
        ASSERT_TRUE(taken.isOk()) << taken.reason();
        EXPECT_EQ(checkDatabaseSet(folder.path()).notes.front(),
                  "A server holds this folder (process " + std::to_string(::getpid()) +
                      "): what is read may be a save in progress.");
        lock.recordHolder(4242);
        EXPECT_EQ(folderHolder(folder.path()), 4242);
    }
    EXPECT_EQ(folderHolder(folder.path()), std::nullopt);
    EXPECT_EQ(checkDatabaseSet(folder.path()).notes.front(), "User.dat: not present");
}

TEST(SetCheckTest, ReportsDanglingReferencesDuplicatesAndOwnerlessSquads) {
    TemporaryFolder folder;
    testing::UserFields a, b, c, d;
    a = {1, "Alice"};
    a.squadID = 1;
    b = {2, "Bob"};
    c = {2, "ALICE"};
    d = {4, "Dan"};
    d.squadID = 8;
    folder.write("User.dat", Bytes{}
                                 .append(testing::userRecord(a))
                                 .append(testing::userRecord(b))
                                 .append(testing::userRecord(c))
                                 .append(testing::userRecord(d))
                                 .fill(0, 10));
    folder.write("Squad.dat", Bytes{}
                                  .append(testing::squadRecord(1, "One", "", 1))
                                  .append(testing::squadRecord(1, "one", "", 9))
                                  .append(testing::squadRecord(3, "Three", "", 2)));
    folder.write("User2.dat", testing::user2Record(5, 0, 0, "", "", ""));
    folder.write("Score.dat", Bytes{}
                                  .append(testing::scoreRecord(1, 1, 1, 0, 0, 0, 0, 0, 0))
                                  .append(testing::scoreRecord(2, 1, 1, 0, 0, 0, 0, 0, 0))
                                  .append(testing::scoreRecord(3, 1, 6, 0, 0, 0, 0, 0, 0)));
    testing::BanFields ban1, ban2;
    ban1.banID = 2, ban1.userID = 1, ban1.bannedBy = 7;
    ban2.banID = 2, ban2.userID = 1;
    folder.write("Ban.dat", Bytes{}.i32(1).append(testing::banRecord(ban1)).append(testing::banRecord(ban2)));
    folder.write("Banfree.dat", testing::banfreeRecord(8, 0, 0));
    folder.write("Op.dat", testing::opRecord(9, 0, 0, 0, ""));
    folder.write("Zone.dat", Bytes{}.append(testing::zoneRecord(5, 0, "", "")).append(testing::zoneRecord(5, 1, "", "")));
    SetCheck check = checkDatabaseSet(folder.path());
    std::vector<std::string> expected = {
        "User.dat record 3: UserID 2 is also record 2",
        "User.dat record 3: account \"ALICE\" is listed twice: record 1 has the same name (first 19 characters, any "
        "case)",
        "User.dat: the last 10 bytes are not a whole record",
        "Squad.dat record 2: SquadID 1 is also record 1",
        "Squad.dat record 2: squad \"one\" is listed twice: record 1 has the same name",
        "Squad.dat record 2: squad \"one\" has no owner (owner UserID 9 is no account)",
        "Squad.dat record 3: squad \"Three\" loads without owner: its owner (UserID 2) is in no squad",
        "User.dat record 4: SquadID 8 is no squad",
        "User2.dat record 1: UserID 5 is no account",
        "Score.dat record 2: UserID 1 has a second score set for ScoreID 1",
        "Score.dat record 3: UserID 6 is no account",
        "Ban.dat record 1: BanID 2 is above the last BanID 1, so it will be given out again",
        "Ban.dat record 1: BannedBy UserID 7 is no account",
        "Ban.dat record 2: BanID 2 is also record 1",
        "Ban.dat record 2: BanID 2 is above the last BanID 1, so it will be given out again",
        "Banfree.dat record 1: UserID 8 is no account",
        "Op.dat record 1: UserID 9 is no account",
        "Zone.dat record 2: ScoreID 5 is also record 1",
    };
    EXPECT_EQ(check.problems, expected);
}

}  // namespace
}  // namespace tallysv
