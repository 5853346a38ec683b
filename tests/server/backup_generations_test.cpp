// Dated generations made by a running server's periodic saves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "db/backup.h"
#include "server_fixture.h"

using namespace tallysv;
using tallysv::testing::ServerFixture;

namespace {

ino_t inodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

}  // namespace

// Saves every 1.5 s (1000 ms and the pause after a save), a generation at
// most every 2 s, three kept: the generations stop at three, and each holds
// the state of the save that made it, not of a later one.
TEST(BackupGenerations, PeriodicSavesKeepGenerationsUpToBackupKeepEachWithItsOwnState) {
    ServerFixture f("[Comms]\nPeriodicSave=1000\n[Misc]\nBackupInterval=2000\nBackupKeep=3\n");
    ASSERT_TRUE(f.server.startup());
    UserRecord* alice = f.database.createUser("Alice", "a", {}, 0, 0);
    f.database.addSquadMember(*f.database.createSquad("Red", "", alice), *alice);
    std::map<std::string, int32_t> loginsOf;  // generation -> Alice's Logins in it
    int made = 0;
    for (int32_t round = 1; round <= 10; ++round) {
        alice->Logins = round;
        int saves = f.saveSleeps();
        while (f.saveSleeps() == saves) f.server.runPass();
        f.server.waitForBackgroundSave();
        std::vector<std::string> generations = listBackupGenerations(f.dir.str());
        ASSERT_LE(generations.size(), 3u);
        if (!generations.empty() && !loginsOf.count(generations.back())) {
            ++made;
            loginsOf[generations.back()] = round;
            // Made of links to the files just committed.
            std::string kept = (f.dir.path() / kBackupFolder / generations.back() / "User.dat").string();
            EXPECT_EQ(inodeOf(kept), inodeOf((f.dir.path() / "User.dat").string()));
        }
    }
    EXPECT_FALSE(f.log.contains("Backup failed")) << f.log.text();
    EXPECT_GT(made, 3);
    std::vector<std::string> generations = listBackupGenerations(f.dir.str());
    ASSERT_EQ(generations.size(), 3u);
    int32_t previous = 0;
    for (const std::string& name : generations) {
        FakeClock clock;
        RecordingLog log;
        Settings keptSettings;
        Database kept(keptSettings, clock, log, (f.dir.path() / kBackupFolder / name).string());
        kept.load();
        EXPECT_FALSE(log.contains("not found")) << log.text();
        UserRecord* keptAlice = kept.findUser("Alice");
        ASSERT_NE(keptAlice, nullptr) << name;
        EXPECT_EQ(keptAlice->squad, kept.findSquad("Red")) << name;
        EXPECT_EQ(keptAlice->Logins, loginsOf.at(name)) << name;
        EXPECT_GT(keptAlice->Logins, previous) << name;  // the newest three, oldest first
        previous = keptAlice->Logins;
    }
}
