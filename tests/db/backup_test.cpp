// Dated generations of the database files made after a whole save.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/clock.h"
#include "core/log.h"
#include "db/backup.h"
#include "db/dat_tool.h"
#include "db/database.h"
#include "db_fixtures.h"

namespace tallysv {
namespace {

const char* const kFiles[] = {"Squad.dat", "User.dat", "Score.dat", "Ban.dat",
                              "User2.dat", "Op.dat",   "Zone.dat",  "Banfree.dat"};

ino_t inodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class BackupTest : public ::testing::Test {
protected:
    BackupTest() {
        UserRecord* alice = database.createUser("Alice", "a", {}, 0, 0);
        database.addSquadMember(*database.createSquad("Red", "", alice), *alice);
        database.createScore(*alice, 3)->LongStat1 = 17;
        database.createBan(*database.createUser("Bob", "", {}, 0, 0), alice, 5);
    }
    std::string generation(const std::string& name) const { return folder.file(std::string(kBackupFolder) + "/" + name); }

    FakeClock clock{1000, 1765370000};  // 2025-12-10 12:33:20 UTC
    RecordingLog log;
    testing::TemporaryFolder folder;
    Settings settings;
    Database database{settings, clock, log, folder.path()};
};

TEST_F(BackupTest, GenerationIsNamedByTheSaveTimeInUTCAndLinksTheCommittedFiles) {
    EXPECT_EQ(backupGenerationName(1765370000), "20251210-123320");
    EXPECT_EQ(backupGenerationName(0), "19700101-000000");
    ASSERT_TRUE(database.save());
    ASSERT_EQ(listBackupGenerations(folder.path()), std::vector<std::string>{"20251210-123320"});
    for (const char* name : kFiles) {
        std::string kept = generation("20251210-123320/") + name;
        EXPECT_EQ(inodeOf(kept), inodeOf(folder.file(name))) << name;
    }
    EXPECT_FALSE(log.contains("Backup"));
}

// Links that cannot be made give copies: the same bytes in files of their
// own, which the next save leaves as they are.
TEST_F(BackupTest, WithoutLinksTheGenerationIsCopied) {
    database.setBackupLinks(false);
    ASSERT_TRUE(database.save());
    std::string name = backupGenerationName(clock.now());
    for (const char* file : kFiles) {
        std::string kept = generation(name + "/") + file;
        EXPECT_NE(inodeOf(kept), inodeOf(folder.file(file))) << file;
        EXPECT_EQ(folder.read(std::string(kBackupFolder) + "/" + name + "/" + file), folder.read(file)) << file;
    }
    auto before = folder.read(std::string(kBackupFolder) + "/" + name + "/User.dat");
    database.createUser("Carol", "", {}, 0, 0);
    ASSERT_TRUE(database.save());
    EXPECT_EQ(folder.read(std::string(kBackupFolder) + "/" + name + "/User.dat"), before);
    EXPECT_NE(folder.read("User.dat"), before);
}

// The same where the backup folder is on another file system, across which
// no link can be made (skipped where no second file system is at hand).
TEST_F(BackupTest, BackupFolderOnAnotherFileSystemGetsCopies) {
    struct stat here {}, there {};
    if (::stat(folder.path().c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0 || here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    std::string elsewhere = "/dev/shm/tallysv-backup-XXXXXX";
    ASSERT_NE(::mkdtemp(elsewhere.data()), nullptr);
    struct RemovedAtEnd {
        std::string path;
        ~RemovedAtEnd() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } removed{elsewhere};
    std::filesystem::create_directory_symlink(elsewhere, folder.file(kBackupFolder));
    log.clear();
    EXPECT_TRUE(database.save());
    EXPECT_FALSE(log.contains("Backup failed")) << log.text();
    std::string name = backupGenerationName(clock.now());
    for (const char* file : kFiles) {
        std::string kept = elsewhere + "/" + name + "/" + file;
        EXPECT_EQ(testing::TemporaryFolder::readPath(kept), folder.read(file)) << file;
    }
}

// A link in place of the backup folder that leads to a folder others may
// write is not followed: nothing is made there, and the save succeeds.
TEST_F(BackupTest, ABackupLinkToAFolderOthersMayWriteIsRefused) {
    testing::TemporaryFolder shared;
    ASSERT_EQ(::chmod(shared.path().c_str(), 0777), 0);
    std::filesystem::create_directory_symlink(shared.path(), folder.file(kBackupFolder));
    log.clear();
    EXPECT_TRUE(database.save());
    EXPECT_TRUE(log.contains("Backup failed: " + folder.file(kBackupFolder) + ": ")) << log.text();
    EXPECT_TRUE(std::filesystem::is_empty(shared.path()));
    EXPECT_TRUE(listBackupGenerations(folder.path()).empty());
}

// A link among the generations is taken for one when it is the oldest
// beyond BackupKeep: the link goes, what it leads to stays.
TEST_F(BackupTest, ALinkInPlaceOfAnOldGenerationIsRemovedItself) {
    testing::TemporaryFolder elsewhere;
    elsewhere.write("User.dat", std::vector<uint8_t>{'k', 'e', 'p', 't'});
    std::filesystem::create_directory(folder.file(kBackupFolder));
    std::filesystem::create_directory_symlink(elsewhere.path(), generation("20000101-000000"));
    settings.backupKeep = 1;
    ASSERT_TRUE(database.save());
    EXPECT_EQ(listBackupGenerations(folder.path()), std::vector<std::string>{backupGenerationName(clock.now())});
    EXPECT_EQ(elsewhere.read("User.dat"), (std::vector<uint8_t>{'k', 'e', 'p', 't'}));
}

// A generation that cannot be made is one console line; the save itself
// succeeds and its files are in place.
TEST_F(BackupTest, FailureIsOneLineAndTheSaveStillSucceeds) {
    folder.write("backup", std::vector<uint8_t>{'x'});  // a file where the folder should be
    log.clear();
    EXPECT_TRUE(database.save());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 9u) << log.text();
    EXPECT_EQ(lines.back().rfind("Backup failed: ", 0), 0u) << lines.back();
    EXPECT_EQ(folder.read("User.dat").size(), 2u * 196);
}

TEST_F(BackupTest, SettingsSwitchGenerationsOffAndDecideWhenOneIsDue) {
    struct Case {
        int32_t interval, keep;
        uint32_t advanceMs;  // between the two saves
        size_t generations;
    };
    const Case cases[] = {{0, 7, 5000, 0},      {86400000, 0, 5000, 0}, {86400000, 7, 5000, 1},
                          {2000, 7, 1999, 1},   {2000, 7, 2000, 2},     {2000, 1, 5000, 1}};
    for (const Case& c : cases) {
        testing::TemporaryFolder here;
        FakeClock at{1000, 1765370000};
        Settings settings;
        Database db(settings, at, log, here.path());
        settings.backupInterval = c.interval;
        settings.backupKeep = c.keep;
        db.createUser("Alice", "", {}, 0, 0);
        ASSERT_TRUE(db.save());
        at.advance(c.advanceMs);
        ASSERT_TRUE(db.save());
        EXPECT_EQ(listBackupGenerations(here.path()).size(), c.generations)
            << "interval " << c.interval << " keep " << c.keep << " after " << c.advanceMs << " ms";
    }
}

// The database tool reports a generation as it reports the live set.
TEST_F(BackupTest, GenerationChecksAsSoundAsTheLiveSet) {
    ASSERT_TRUE(database.save());
    SetCheck live = checkDatabaseSet(folder.path());
    SetCheck kept = checkDatabaseSet(generation(backupGenerationName(clock.now())));
    EXPECT_TRUE(live.problems.empty());
    EXPECT_TRUE(kept.problems.empty());
    EXPECT_EQ(kept.notes, live.notes);
}

}  // namespace
}  // namespace tallysv
