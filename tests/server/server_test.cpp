#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <filesystem>
#include <vector>

#include "core/clock.h"
#include "server/console.h"
#include "core/log.h"
#include "server/server.h"
#include "db/database.h"
#include "server_fixture.h"

using namespace tallysv;
using tallysv::testing::ServerFixture;

TEST(Server, StartupPrintsBannerAndReadsConfiguration) {
    ServerFixture f;
    ASSERT_TRUE(f.server.startup());
    // The workers' memory bound is said at start: one hash's memory each.
    ASSERT_NE(f.server.workers(), nullptr);
    const unsigned workers = f.server.workers()->workers();
    EXPECT_EQ(f.log.text(), "Voidrift Billing Server (Build 11)\nReading TALLYSV.INI... Done.\nPassword workers: " +
                                std::to_string(workers) + ", queue of " + std::to_string(32 * workers) +
                                " per zone, hashing memory at most " + std::to_string(19 * workers) + " MiB\n");
}

// The control socket is there from start-up to shutdown, in the working
// folder by default; an empty setting makes none.
TEST(Server, ControlSocketLivesFromStartupToShutdown) {
    ServerFixture f;
    ASSERT_TRUE(f.server.startup());
    const std::filesystem::path socket = f.dir.path() / "tallysv.sock";
    EXPECT_EQ(f.server.controlSocketPath(), socket.string());
    EXPECT_TRUE(std::filesystem::is_socket(socket));
    f.server.shutdown();
    EXPECT_FALSE(std::filesystem::exists(socket));

    ServerFixture none("ControlSocket=\n");
    ASSERT_TRUE(none.server.startup());
    EXPECT_EQ(none.server.controlSocketPath(), "");
    EXPECT_FALSE(std::filesystem::exists(none.dir.path() / "tallysv.sock"));
    none.server.shutdown();
}

// A client that sends half a request and stalls holds neither the
// network's lock nor the socket: another client's command runs meanwhile.
TEST(Server, AStalledControlClientHoldsNothing) {
    ServerFixture f;
    ASSERT_TRUE(f.server.startup());
    auto connectToServer = [&] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = f.server.controlSocketPath();
        std::memcpy(address.sun_path, path.data(), path.size());
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    int stalled = connectToServer();
    ASSERT_EQ(::send(stalled, "run - ?ver", 10, MSG_NOSIGNAL), 10);

    int other = connectToServer();
    const std::string request = "run - ?version\n";
    ASSERT_EQ(::send(other, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string answer;
    char buffer[512];
    for (ssize_t n; (n = ::recv(other, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(answer.rfind("L Tallysv pre-release. Build 11\n", 0), 0u) << answer;

    std::unique_lock<Mutex> lock(f.server.lock(), std::try_to_lock);
    EXPECT_TRUE(lock.owns_lock());
    lock = {};
    for (int fd : {stalled, other}) ::close(fd);
    f.server.shutdown();
}

// SIGHUP's flag makes the next pass re-read the settings.
TEST(Server, ReloadRequestReReadsTheSettings) {
    ServerFixture f;
    std::atomic<bool> reload{false};
    f.server.setReloadRequest(&reload);
    ASSERT_TRUE(f.server.startup());
    f.dir.write("TALLYSV.INI", "[Misc]\nPort=0\nAllowNewUsers=1\n");
    EXPECT_TRUE(f.server.runPass());
    EXPECT_FALSE(f.settings.allowNewUsers);
    reload.store(true);
    EXPECT_TRUE(f.server.runPass());
    EXPECT_TRUE(f.settings.allowNewUsers);
    EXPECT_FALSE(reload.load());
    f.server.shutdown();
}

TEST(Server, QuitKeysInEitherCaseEndTheLoopAfterThePass) {
    for (char key : {'q', 'Q', 'e', 'E', 'x', 'X'}) {
        ServerFixture f;
        ASSERT_TRUE(f.server.startup());
        f.keys.press('z');  // any other key is ignored
        EXPECT_TRUE(f.server.runPass());
        f.keys.press(key);
        EXPECT_FALSE(f.server.runPass()) << key;
    }
}

TEST(Server, ConsoleListsStartWithTheirHeadings) {
    ServerFixture f;
    ASSERT_TRUE(f.server.startup());
    f.log.clear();
    for (char key : {'c', 'S', 'l'}) {
        f.keys.press(key);
        f.server.runPass();
    }
    auto lines = f.log.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Chat list:");
    EXPECT_EQ(lines[1], "Squad list:");
    EXPECT_EQ(lines[2], "Host list:");
}

TEST(Server, PeriodicSaveRunsWhenTheIntervalHasPassed) {
    ServerFixture f("[Comms]\nPeriodicSave=1000\n");
    ASSERT_TRUE(f.server.startup());
    // Passes of 250 ms: the save falls due on the fourth pass.
    for (int pass = 0; pass < 3; ++pass) f.server.runPass();
    EXPECT_EQ(f.saveSleeps(), 0);
    f.server.runPass();
    EXPECT_EQ(f.saveSleeps(), 1);
    // The interval counts from the end of the save's 500 ms pause.
    for (int pass = 0; pass < 3; ++pass) f.server.runPass();
    EXPECT_EQ(f.saveSleeps(), 1);
    f.server.runPass();
    EXPECT_EQ(f.saveSleeps(), 2);
}

TEST(Server, ZeroIntervalSavesOnEveryPassAndSurvivesTickWrap) {
    ServerFixture f("[Comms]\nPeriodicSave=0\n");
    f.clock.setTick(0xFFFFFF00u);  // the tick wraps during these passes
    ASSERT_TRUE(f.server.startup());
    for (int pass = 0; pass < 4; ++pass) f.server.runPass();
    EXPECT_EQ(f.saveSleeps(), 4);
    EXPECT_EQ(f.sleeps, (std::vector<uint32_t>{250, 500, 250, 500, 250, 500, 250, 500}));
}

TEST(Server, SaveDueWithQuitKeySavesThenEnds) {
    ServerFixture f("[Comms]\nPeriodicSave=0\n");
    ASSERT_TRUE(f.server.startup());
    f.keys.press('q');
    EXPECT_FALSE(f.server.runPass());
    EXPECT_EQ(f.saveSleeps(), 1);
}

TEST(Server, StopRequestEndsTheLoopLikeAQuitKey) {
    ServerFixture f;
    ASSERT_TRUE(f.server.startup());
    EXPECT_TRUE(f.server.runPass());
    f.stop = true;
    EXPECT_FALSE(f.server.runPass());
    f.server.shutdown();
}
