// One writer per data folder: a second server waits for the process that
// holds the folder (a server, or the save process of a killed one) and
// then goes on, or gives up having read and written nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "db/folder_lock.h"
#include "server_fixture.h"

using namespace tallysv;
using tallysv::testing::Gate;
using tallysv::testing::ServerFixture;

namespace {

// Every file of the folder with its bytes.
std::map<std::string, std::string> folderContents(const std::filesystem::path& folder) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        contents[entry.path().filename().string()] = bytes.str();
    }
    return contents;
}

std::string waitingLine(pid_t holder, int seconds) {
    return "The data folder is in use by process " + std::to_string(holder) + "; waiting up to " +
           std::to_string(seconds) + " seconds for it to end";
}
std::string refusalLine(pid_t holder) {
    return "The data folder is still in use by process " + std::to_string(holder) +
           "; stopping without reading or writing it";
}

// A server on a folder that is not its own: fake time, the given sleeps.
struct SecondServer {
    SecondServer(const std::string& folder, Server::Sleeper sleep) : database(settings, clock, log, folder) {
        server = std::make_unique<Server>(settings, database, clock, log, keys, std::move(sleep));
    }
    FakeClock clock;
    RecordingLog log;
    ScriptedKeys keys;
    Settings settings;
    Database database;
    std::unique_ptr<Server> server;
};

}  // namespace

// Two servers on one folder: the second names the first's process and
// waits; when the first stops meanwhile it goes on with the first's last
// save, otherwise it gives up and the folder is as it was.
TEST(FolderLock, SecondServerWaitsForTheFirstOrGivesUpHavingWrittenNothing) {
    for (bool firstStops : {false, true}) {
        ServerFixture first;
        ASSERT_TRUE(first.server.startup());
        first.database.createUser("Alice", "a", {10, 0, 0, 1}, 0, 0);
        ASSERT_TRUE(first.server.saveNow());
        first.database.createUser("Bob", "b", {10, 0, 0, 2}, 0, 0);
        EXPECT_EQ(folderHolder(first.dir.str()), ::getpid());
        auto before = folderContents(first.dir.path());

        int sleeps = 0;
        SecondServer second(first.dir.str(), [&](uint32_t ms) {
            second.clock.advance(ms);
            if (++sleeps == 3 && firstStops) first.server.shutdown();
        });
        second.server->setFolderLockWait(2000);
        bool started = second.server->startup();
        ASSERT_EQ(started, firstStops) << second.log.text();
        std::vector<std::string> lines = second.log.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[1], waitingLine(::getpid(), 2));
        if (!started) {
            EXPECT_EQ(lines.size(), 3u);
            EXPECT_EQ(lines.back(), refusalLine(::getpid()));
            EXPECT_EQ(sleeps, 20);
            EXPECT_EQ(second.database.users().count(), 0u);
            EXPECT_EQ(folderContents(first.dir.path()), before);
            continue;
        }
        // The first's final save, Bob included, is what the second loaded.
        EXPECT_EQ(sleeps, 3);
        EXPECT_NE(second.database.findUser("Bob"), nullptr);
        EXPECT_EQ(folderHolder(first.dir.str()), ::getpid());
        second.server->shutdown();
        EXPECT_EQ(folderHolder(first.dir.str()), std::nullopt);
    }
}

// A server killed while its save process is among its renames: the save
// process holds the folder (it names itself there, and holds no socket of
// the server), and a server started meanwhile either waits for it and loads
// that save's whole set, or gives up; nothing finishes the save but the
// save process itself.
TEST(FolderLock, ServerStartedWhileAKilledServersSaveIsWritingLoadsOneSave) {
    constexpr int kUsers = 5;
    for (bool waitsLongEnough : {false, true}) {
        tallysv::testing::TempDir folder;
        folder.write("TALLYSV.INI", "[Misc]\nPort=0\n[Comms]\nPeriodicSave=1000\n");
        Gate gate;
        pid_t killed = ::fork();
        ASSERT_GE(killed, 0);
        if (killed == 0) {
            // The first server: one account in its files, four more in the
            // periodic save it is writing when it is killed.
            FakeClock clock;
            DiscardLog log;
            ScriptedKeys keys;
            Settings settings;
            Database db(settings, clock, log, folder.str());
            Server server(settings, db, clock, log, keys, [&](uint32_t ms) { clock.advance(ms); });
            if (!server.startup()) ::_exit(2);
            for (int u = 1; u <= kUsers; ++u) {
                UserRecord* user = db.createUser("U" + std::to_string(u), "", {}, 0, 0);
                db.addSquadMember(*db.createSquad("S" + std::to_string(u), "", user), *user);
                if (u == 1 && !server.saveNow()) ::_exit(3);
            }
            gate.install(db, Database::SaveStep::Rename, DatFile::User);
            for (int pass = 0; pass < 8 && server.backgroundSaveProcess() < 0; ++pass) server.runPass();
            ::raise(SIGKILL);
        }
        gate.waitUntilReached();
        int status = 0;
        ASSERT_EQ(::waitpid(killed, &status, 0), killed);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::optional<pid_t> writer = folderHolder(folder.str());
        ASSERT_TRUE(writer.has_value());
        ASSERT_NE(*writer, killed);
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(*writer) + "/fd")) {
            std::error_code error;
            std::string target = std::filesystem::read_symlink(fd.path(), error).string();
            EXPECT_EQ(target.rfind("socket:", 0), std::string::npos) << target;
        }

        int sleeps = 0;
        SecondServer second(folder.str(), [&](uint32_t ms) {
            second.clock.advance(ms);
            if (++sleeps == 1 && waitsLongEnough) gate.open();
            if (waitsLongEnough) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        });
        second.server->setFolderLockWait(waitsLongEnough ? 20000 : 500);
        ASSERT_EQ(second.server->startup(), waitsLongEnough) << second.log.text();
        EXPECT_EQ(second.log.lines()[1], waitingLine(*writer, waitsLongEnough ? 20 : 0));
        EXPECT_FALSE(second.log.contains("Completed the interrupted save")) << second.log.text();
        // The set loaded is the one save's: every account in its own squad.
        auto expectTheSave = [&](const SecondServer& loaded) {
            EXPECT_FALSE(loaded.log.contains("not found")) << loaded.log.text();
            ASSERT_EQ(loaded.database.users().count(), static_cast<size_t>(kUsers)) << loaded.log.text();
            for (UserRecord* user : loaded.database.users()) {
                ASSERT_NE(user->squad, nullptr);
                EXPECT_EQ(user->squad->name(), "S" + std::string(user->name()).substr(1));
            }
        };
        if (waitsLongEnough) {
            expectTheSave(second);
            second.server->shutdown();
            continue;
        }
        EXPECT_EQ(second.log.lines().back(), refusalLine(*writer));
        EXPECT_EQ(second.database.users().count(), 0u);
        gate.open();
        for (int i = 0; i < 20000 && folderHolder(folder.str()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(folderHolder(folder.str()), std::nullopt);
        SecondServer third(folder.str(), [](uint32_t) {});
        ASSERT_TRUE(third.server->startup());
        EXPECT_FALSE(third.log.contains("Completed the interrupted save"));
        expectTheSave(third);
        third.server->shutdown();
    }
}
