// The periodic save written by a second process: the same files as a save
// in the server process at the moment of the snapshot, whatever the server
// changes meanwhile; a writing process that dies, a folder that cannot be
// written, and the saves that must be on disk when they return.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "server_fixture.h"

using namespace tallysv;
using tallysv::testing::Gate;
using tallysv::testing::ServerFixture;

namespace {

const char* const kFiles[] = {"Squad.dat", "User.dat", "Score.dat", "Ban.dat",
                              "User2.dat", "Op.dat",   "Zone.dat",  "Banfree.dat"};
const std::string kWritingLines =
    "Writing: Squad.dat\nWriting: User.dat\nWriting: Score.dat\nWriting: Ban.dat\n"
    "Writing: User2.dat\nWriting: Op.dat\nWriting: Zone.dat\nWriting: Banfree.dat\n";

std::map<std::string, std::string> readSet(const ServerFixture& f) {
    std::map<std::string, std::string> set;
    for (const char* name : kFiles) set[name] = f.dir.read(name);
    return set;
}

// Passes until a periodic save has been started (PeriodicSave=1000: the
// fourth pass); then the writing process runs.
void runUntilSaveStarts(ServerFixture& f) {
    int before = f.saveSleeps();
    for (int pass = 0; pass < 8 && f.saveSleeps() == before; ++pass) f.server.runPass();
    ASSERT_EQ(f.saveSleeps(), before + 1);
}

// Waits (in real time, bounded) for the console to show `text`.
bool waitForLog(const RecordingLog& log, const std::string& text) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!log.contains(text)) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Something in every table, an ownerless squad (reported with ERROR) and
// a ban that has expired.
void populate(Database& db) {
    UserRecord* alice = db.createUser("Alice", "a", {10, 0, 0, 1}, 11, -60);
    UserRecord* bob = db.createUser("Bob", "b", {10, 0, 0, 2}, 12, 0);
    UserRecord* carol = db.createUser("Carol", "c", {10, 0, 0, 3}, 13, 120);
    SquadRecord* red = db.createSquad("Red", "r", alice);
    db.addSquadMember(*red, *alice);
    db.addSquadMember(*red, *bob);
    SquadRecord* orphan = db.createSquad("Orphan", "", nullptr);
    db.addSquadMember(*orphan, *carol);
    SquadRecord* blue = db.createSquad("Blue", "", carol);
    (void)blue;
    ScoreRecord* score = db.createScore(*alice, 7);
    score->LongStat1 = 1234;
    db.createScore(*bob, 7)->WordStat2 = 9;
    db.registerUser(*alice, "Alice A", "alice@example", 77);
    db.createOperator(bob, 0, 0, 2, "op");
    db.createZone(7, 1, "zone");
    db.createBanfree(3, 0, 7);
    db.createBan(*carol, bob, 30)->comment.set("for a month");
    db.createBan(*bob, alice, -1);  // expired a day ago
}

}  // namespace

// The snapshot is the state at the fork: what the server changes right
// after it (accounts, scores, squads, bans) is not in the files, which are
// byte for byte those of a save in the server process, with the same
// console lines.
TEST(BackgroundSave, FilesAreThoseOfASaveAtTheSnapshot) {
    ServerFixture f("[Comms]\nPeriodicSave=1000\n");
    ASSERT_TRUE(f.server.startup());
    populate(f.database);
    f.log.clear();
    ASSERT_TRUE(f.database.save());
    std::string inProcessLines = f.log.text();
    std::map<std::string, std::string> inProcess = readSet(f);
    ASSERT_NE(inProcessLines.find("ERROR(2)"), std::string::npos);

    Gate gate;
    gate.install(f.database, Database::SaveStep::Write, DatFile::Squad);
    f.log.clear();
    runUntilSaveStarts(f);
    // The expired ban went in the server process, after the snapshot.
    ASSERT_EQ(f.database.bans().count(), 1u);
    Database& db = f.database;
    UserRecord* alice = db.findUser("Alice");
    alice->Logins += 5;
    alice->banner[0] = 0x7f;
    db.createUser("Dave", "d", {10, 0, 0, 4}, 14, 0);
    for (ScoreRecord* score : db.scores()) score->LongStat2 = 99;
    db.createScore(*alice, 8);
    db.removeSquad(db.findSquad("Red"));
    db.renameSquad(*db.findSquad("Blue"), "Green");
    db.addSquadMember(*db.findSquad("Green"), *alice);
    db.createBan(*alice, nullptr, 2);
    gate.open();
    f.server.waitForBackgroundSave();

    EXPECT_EQ(f.log.text(), inProcessLines);
    EXPECT_EQ(readSet(f), inProcess);
    for (const char* name : kFiles) EXPECT_FALSE(std::filesystem::exists(f.dir.path() / (std::string(name) + ".new")));

    // The next save holds the changes.
    ASSERT_TRUE(f.server.saveNow());
    RecordingLog reloadLog;
    Database reloaded(f.settings, f.clock, reloadLog, f.dir.str());
    reloaded.load();
    ASSERT_NE(reloaded.findUser("Dave"), nullptr);
    EXPECT_EQ(reloaded.findSquad("Red"), nullptr);
    EXPECT_EQ(reloaded.findUser("Alice")->squad, reloaded.findSquad("Green"));
    EXPECT_EQ(reloaded.bans().count(), 2u);
}

namespace {

constexpr int kUsers = 20000;
constexpr int kSquads = 100;

std::string squadName(int i) { return "S" + std::to_string(i); }

// Accounts U1..U20000, account u a member of squad S(u % 100).
void populateSquads(Database& db) {
    std::vector<SquadRecord*> squads;
    for (int u = 1; u <= kUsers; ++u) db.createUser("U" + std::to_string(u), "", {}, 0, 0);
    for (int s = 0; s < kSquads; ++s)
        squads.push_back(db.createSquad(squadName(s), "", db.findUserByID(s == 0 ? kSquads : s)));
    for (int u = 1; u <= kUsers; ++u) db.addSquadMember(*squads[u % kSquads], *db.findUserByID(u));
}

// The first squad moves to the end of the table, so that the next save
// numbers every squad differently from the last one.
void rotateSquads(Database& db) {
    SquadRecord* first = db.squads().head();
    std::string name(first->name());
    std::vector<UserRecord*> members = first->members();
    UserRecord* owner = first->owner;
    db.removeSquad(first);
    SquadRecord* again = db.createSquad(name, "", owner);
    for (UserRecord* member : members) db.addSquadMember(*again, *member);
}

// The folder holds one whole set: every account back in its own squad, and
// nothing left of a save in the middle of its commit.
void expectWholeSet(const ServerFixture& f, const std::string& when) {
    for (const char* name : kFiles)
        EXPECT_FALSE(std::filesystem::exists(f.dir.path() / (std::string(name) + ".new"))) << name << " " << when;
    EXPECT_FALSE(std::filesystem::exists(f.dir.path() / "Save.commit")) << when;
    FakeClock clock;
    RecordingLog log;
    Settings settings;
    Database db(settings, clock, log, f.dir.str());
    db.load();
    ASSERT_FALSE(log.contains("not found")) << when << "\n" << log.text();
    ASSERT_EQ(db.users().count(), static_cast<size_t>(kUsers)) << when;
    ASSERT_EQ(db.squads().count(), static_cast<size_t>(kSquads)) << when;
    for (UserRecord* user : db.users()) {
        ASSERT_NE(user->squad, nullptr) << user->name() << " " << when;
        ASSERT_EQ(user->squad->name(), squadName(user->userID() % kSquads)) << when;
    }
}

const std::string kKilledLine =
    "Save failed: the writing process was ended by signal 9; it is tried again at the next periodic save\n";

}  // namespace

// Killed while held at each step of its save, the writing process leaves
// the old set or, once it has committed, the new one, made whole before
// the server goes on; the next save succeeds.
TEST(BackgroundSave, WritingProcessKilledAtEachStepLeavesAWholeSet) {
    struct Step {
        Database::SaveStep step;
        DatFile file;
        bool newSet;
    };
    const Step steps[] = {{Database::SaveStep::Write, DatFile::Squad, false},
                          {Database::SaveStep::Write, DatFile::Score, false},
                          {Database::SaveStep::Commit, DatFile::Squad, false},
                          {Database::SaveStep::Rename, DatFile::Squad, true},
                          {Database::SaveStep::Rename, DatFile::User, true},
                          {Database::SaveStep::Rename, DatFile::Banfree, true}};
    ServerFixture f("[Comms]\nPeriodicSave=1000\n");
    ASSERT_TRUE(f.server.startup());
    populateSquads(f.database);
    ASSERT_TRUE(f.server.saveNow());
    for (const Step& step : steps) {
        std::string when = "held at step " + std::to_string(static_cast<int>(step.step)) + " of file " +
                           std::to_string(static_cast<int>(step.file));
        std::string before = f.dir.read("Squad.dat");
        rotateSquads(f.database);
        Gate gate;
        gate.install(f.database, step.step, step.file);
        f.log.clear();
        runUntilSaveStarts(f);
        pid_t writer = f.server.backgroundSaveProcess();
        ASSERT_GT(writer, 0);
        gate.waitUntilReached();
        ::kill(writer, SIGKILL);
        f.server.waitForBackgroundSave();
        EXPECT_TRUE(f.log.contains(kKilledLine)) << when << "\n" << f.log.text();
        expectWholeSet(f, when);
        EXPECT_EQ(f.dir.read("Squad.dat") != before, step.newSet) << when;
    }
    f.database.setSaveInterruption(nullptr);
    f.log.clear();
    runUntilSaveStarts(f);
    f.server.waitForBackgroundSave();
    EXPECT_EQ(f.log.text(), kWritingLines);
    expectWholeSet(f, "after the last save");
}

// kill -9 at random moments of a save, over and over: whatever the moment,
// the folder loads whole.
TEST(BackgroundSave, WritingProcessKilledAtRandomMomentsLeavesAWholeSet) {
    ServerFixture f("[Comms]\nPeriodicSave=0\n");
    ASSERT_TRUE(f.server.startup());
    populateSquads(f.database);
    ASSERT_TRUE(f.server.saveNow());
    // How long one save takes here, to spread the kills over it.
    auto start = std::chrono::steady_clock::now();
    f.server.runPass();
    f.server.waitForBackgroundSave();
    auto length = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::mt19937 random(20261210);
    std::uniform_int_distribution<long> moment(0, std::max<long>(1000, length.count() * 5 / 4));
    int killed = 0;
    for (int round = 0; round < 12; ++round) {
        rotateSquads(f.database);
        f.log.clear();
        f.server.runPass();
        pid_t writer = f.server.backgroundSaveProcess();
        ASSERT_GT(writer, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        ::kill(writer, SIGKILL);
        f.server.waitForBackgroundSave();
        killed += f.log.contains(kKilledLine);
        expectWholeSet(f, "round " + std::to_string(round));
    }
    EXPECT_GT(killed, 0);
}

// A save into a folder that cannot be written says so, once, keeps the
// last set, and the next period's save succeeds once the folder can be
// written again.
TEST(BackgroundSave, UnwritableFolderFailsOnceAndTheNextPeriodSaves) {
    enum class Cause { MissingFolder, NamesInTheWay, ReadOnlyFolder };
    for (Cause cause : {Cause::MissingFolder, Cause::NamesInTheWay, Cause::ReadOnlyFolder}) {
        if (cause == Cause::ReadOnlyFolder && ::geteuid() == 0) continue;  // root writes anyway
        ServerFixture f("[Comms]\nPeriodicSave=1000\n");
        ASSERT_TRUE(f.server.startup());
        populate(f.database);
        f.log.clear();
        ASSERT_TRUE(f.server.saveNow());
        std::string savedLines = f.log.text();
        std::map<std::string, std::string> saved = readSet(f);
        f.database.createUser("Later", "", {}, 0, 0);
        std::filesystem::path folder = f.dir.path();
        std::filesystem::path away = folder.string() + ".away";
        switch (cause) {
            case Cause::MissingFolder: std::filesystem::rename(folder, away); break;
            case Cause::NamesInTheWay:
                for (const char* name : kFiles) std::filesystem::create_directory(folder / (std::string(name) + ".new"));
                break;
            case Cause::ReadOnlyFolder: ::chmod(folder.c_str(), 0555); break;
        }
        f.log.clear();
        runUntilSaveStarts(f);
        f.server.waitForBackgroundSave();
        switch (cause) {
            case Cause::MissingFolder: std::filesystem::rename(away, folder); break;
            case Cause::NamesInTheWay:
                for (const char* name : kFiles) std::filesystem::remove(folder / (std::string(name) + ".new"));
                break;
            case Cause::ReadOnlyFolder: ::chmod(folder.c_str(), 0755); break;
        }
        std::string failed = f.log.text();
        EXPECT_NE(failed.find("Squad.dat: "), std::string::npos) << failed;
        EXPECT_EQ(failed.find("Writing:"), std::string::npos) << failed;
        const std::string line =
            "Save failed: a file could not be written or put in place; it is tried again at the next periodic save\n";
        ASSERT_GE(failed.size(), line.size());
        EXPECT_EQ(failed.substr(failed.size() - line.size()), line);
        EXPECT_EQ(failed.find("Save failed"), failed.rfind("Save failed"));
        EXPECT_EQ(readSet(f), saved);

        f.log.clear();
        runUntilSaveStarts(f);
        f.server.waitForBackgroundSave();
        EXPECT_EQ(f.log.text(), savedLines) << static_cast<int>(cause);
        RecordingLog reloadLog;
        Database reloaded(f.settings, f.clock, reloadLog, f.dir.str());
        reloaded.load();
        EXPECT_NE(reloaded.findUser("Later"), nullptr);
    }
}

// A quit, or a save asked for on command, while the periodic save is being
// written: the running save ends first, then the current state is saved,
// and that save is on disk when the call returns.
TEST(BackgroundSave, QuitAndSaveNowWaitForTheRunningSaveThenSave) {
    for (bool quit : {true, false}) {
        ServerFixture f("[Comms]\nPeriodicSave=1000\n");
        ASSERT_TRUE(f.server.startup());
        populate(f.database);
        Gate gate;
        gate.install(f.database, Database::SaveStep::Write, DatFile::User);
        f.log.clear();
        runUntilSaveStarts(f);
        f.database.createUser("Late", "", {}, 0, 0);
        bool saved = false;
        std::thread caller;
        if (quit) {
            f.keys.press('q');
            EXPECT_FALSE(f.server.runPass());
            caller = std::thread([&] { f.server.shutdown(); });
        } else {
            caller = std::thread([&] { saved = f.server.saveNow(); });
        }
        // The caller passes on the lines of the running save while it waits
        // for it; the save is held until then.
        ASSERT_TRUE(waitForLog(f.log, "Writing: Squad.dat\n")) << f.log.text();
        EXPECT_FALSE(f.log.contains("Writing: User.dat"));
        gate.open();
        caller.join();
        EXPECT_TRUE(quit || saved);

        // Two saves, one after the other: the snapshot, then the final one.
        std::string text = f.log.text();
        size_t second = text.find("Writing: Squad.dat", 1);
        ASSERT_NE(second, std::string::npos) << text;
        EXPECT_NE(text.rfind("Writing: Banfree.dat\n", second), std::string::npos) << text;
        EXPECT_EQ(text.find("Save failed"), std::string::npos) << text;
        RecordingLog reloadLog;
        Database reloaded(f.settings, f.clock, reloadLog, f.dir.str());
        reloaded.load();
        EXPECT_NE(reloaded.findUser("Late"), nullptr) << (quit ? "quit" : "saveNow");
    }
}
