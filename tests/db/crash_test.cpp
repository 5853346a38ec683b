// A process killed at any moment of a save leaves a folder that loads as
// one whole set.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "db_fixtures.h"

namespace tallysv {
namespace {

constexpr int kUsers = 20000;
constexpr int kSquads = 100;

std::string squadName(int i) { return "S" + std::to_string(i); }

// Saves over and over; between two saves the first squad moves to the end
// of the table, so every save numbers every squad differently than the
// one before. Account u always belongs to squad u % 100.
[[noreturn]] void saveForever(const std::string& folder) {
    FakeClock clock;
    DiscardLog log;
    Settings settings;
    Database db(settings, clock, log, folder);
    db.load();
    for (;;) {
        SquadRecord* first = db.squads().head();
        std::string name(first->name());
        std::vector<UserRecord*> members = first->members();
        UserRecord* owner = first->owner;
        db.removeSquad(first);
        SquadRecord* again = db.createSquad(name, "", owner);
        for (UserRecord* member : members) db.addSquadMember(*again, *member);
        (void)db.save();  // killed at some point of it
    }
}

TEST(CrashTest, KillDuringSavesLeavesAConsistentSet) {
    testing::TemporaryFolder folder;
    {
        FakeClock clock;
        DiscardLog log;
        Settings settings;
        Database db(settings, clock, log, folder.path());
        std::vector<SquadRecord*> squads;
        for (int u = 1; u <= kUsers; ++u) db.createUser("U" + std::to_string(u), "", {}, 0, 0);
        for (int s = 0; s < kSquads; ++s)
            squads.push_back(db.createSquad(squadName(s), "", db.findUserByID(s == 0 ? kSquads : s)));
        for (int u = 1; u <= kUsers; ++u) db.addSquadMember(*squads[u % kSquads], *db.findUserByID(u));
        ASSERT_TRUE(db.save());
    }
    for (int delayMs : {30, 75, 140, 220, 330}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) saveForever(folder.path());
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);

        FakeClock clock;
        RecordingLog log;
        Settings settings;
        Database db(settings, clock, log, folder.path());
        db.load();
        ASSERT_FALSE(log.contains("not found")) << log.text();
        ASSERT_EQ(db.users().count(), static_cast<size_t>(kUsers));
        ASSERT_EQ(db.squads().count(), static_cast<size_t>(kSquads));
        for (UserRecord* user : db.users()) {
            ASSERT_NE(user->squad, nullptr) << user->name();
            ASSERT_EQ(user->squad->name(), squadName(user->userID() % kSquads)) << "after " << delayMs << " ms";
        }
    }
}

}  // namespace
}  // namespace tallysv
