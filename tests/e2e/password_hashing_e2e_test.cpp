// Stored passwords with PasswordHashing on, against the real binaries: a
// new account and one kept scrambled by an older server both end up hashed
// across a restart, `tallysv-db` shows no scrambled password left, and no
// password typed in the run is found anywhere in the console output or the
// data folder. An account nobody logs into is left to `tallysv-db wrap`.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/clock.h"
#include "core/password_scramble.h"
#include "core/log.h"
#include "db/database.h"
#include "e2e/zone_network.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string runDbTool(const std::string& command, const std::string& argument) {
    ChildProcess tool(kBinDir + "/tallysv-db", {command, argument}, ".");
    EXPECT_TRUE(tool.wait().has_value());
    return tool.output();
}

}  // namespace

TEST(PasswordHashingEndToEnd, PasswordsAreHashedAcrossARestartAndNeverWrittenInClear) {
    const std::string fresh = "Fresh-Pass-7Q2w";
    const std::string legacy = "Legacy-Pass-9Zx";
    ZoneNetwork network("PasswordHashing=1\n");
    {
        // An account as an older server left it: scrambled.
        SystemClock clock;
        DiscardLog log;
        Settings olderSettings;
        Database older(olderSettings, clock, log, network.dir().str());
        older.createUser("Veteran", legacy, {}, 0, 0);
        older.createUser("Dormant", "Dormant-Pass-4Kv", {}, 0, 0);
        ASSERT_TRUE(older.save());
    }
    std::string consoles;
    for (int run = 0; run < 2; ++run) {
        network.startServer();
        auto zone = network.zone(1, "North");
        zone->send("player Newcomer " + fresh + " --ip 10.1.1.1\n");
        ASSERT_TRUE(zone->waitForOutput("login reply for player 1: result 6")) << zone->output();
        zone->send("player Veteran " + legacy + " --ip 10.1.1.2\n");
        ASSERT_TRUE(zone->waitForOutput("login reply for player 2: result 6")) << zone->output();
        zone->send("player Veteran wrong --ip 10.1.1.3\n");
        ASSERT_TRUE(zone->waitForOutput("result 2")) << zone->output();
        zone->send("quit\n");
        zone->wait();
        network.stopServer();
        consoles += network.server().output() + zone->output();
    }

    std::string check = runDbTool("check", network.dir().str());
    EXPECT_NE(check.find("Passwords still scrambled: users 1 of 3,"), std::string::npos) << check;
    std::string wrapped = runDbTool("wrap", network.dir().str());
    EXPECT_NE(wrapped.find("Wrapped: users 1, squads 0, operators 0, zones 0"), std::string::npos) << wrapped;
    check = runDbTool("check", network.dir().str());
    EXPECT_NE(check.find("Passwords still scrambled: users 0 of 3,"), std::string::npos) << check;
    std::string dump = runDbTool("dump", (network.dir().path() / "User.dat").string());
    for (const char* name : {"\"Newcomer\"", "\"Veteran\""}) {
        size_t at = dump.find(name);
        ASSERT_NE(at, std::string::npos) << dump;
        // A hashed field is shown whole: 64 hex digits ending in its version.
        size_t field = dump.find("\"password\":\"", at) + 12;
        EXPECT_EQ(dump.substr(field + 62, 3), "01\"") << name << ": " << dump;
    }

    for (const std::string& password : {fresh, legacy}) {
        EXPECT_EQ(consoles.find(password), std::string::npos) << password;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(network.dir().path())) {
            if (entry.is_regular_file()) {
                EXPECT_EQ(fileBytes(entry.path()).find(password), std::string::npos) << entry.path();
            }
        }
    }
}

// Generations made before hashing was turned on keep the passwords of their
// day; check names them and wrap reaches them, until no scrambled password
// is left in any file of the folder.
TEST(PasswordHashingEndToEnd, WrapLeavesNoScrambledPasswordInAnyGeneration) {
    const std::string legacy = "Legacy-Pass-9Zx";
    const std::string dormant = "Dormant-Pass-4Kv";
    ZoneNetwork network("PasswordHashing=1\n");
    {
        // An older server's set; its save makes the first generation.
        SystemClock clock;
        DiscardLog log;
        Settings olderSettings;
        Database older(olderSettings, clock, log, network.dir().str());
        older.createUser("Veteran", legacy, {}, 0, 0);
        older.createUser("Dormant", dormant, {}, 0, 0);
        ASSERT_TRUE(older.save());
    }
    network.startServer();
    auto zone = network.zone(1, "North");
    zone->send("player Veteran " + legacy + " --ip 10.1.1.2\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 1: result 6")) << zone->output();
    zone->send("quit\n");
    zone->wait();
    network.stopServer();

    std::vector<std::string> generations;
    for (const auto& entry : std::filesystem::directory_iterator(network.dir().path() / "backup"))
        generations.push_back(entry.path().filename().string());
    ASSERT_EQ(generations.size(), 1u);
    const std::string generation = "backup/" + generations[0];

    std::string check = runDbTool("check", network.dir().str());
    EXPECT_NE(check.find("Passwords still scrambled: users 1 of 2, squads 0 of 0, operators 0 of 0, zones 0 of 0\n" +
                         generation +
                         ": passwords still scrambled: users 2 of 2, squads 0 of 0, operators 0 of 0, zones 0 of 0\n"
                         "No problems found\n"),
              std::string::npos)
        << check;
    std::string wrapped = runDbTool("wrap", network.dir().str());
    EXPECT_NE(wrapped.find("Wrapped: users 1, squads 0, operators 0, zones 0\nWrapped in " + generation +
                           ": users 2, squads 0, operators 0, zones 0\n"),
              std::string::npos)
        << wrapped;
    check = runDbTool("check", network.dir().str());
    EXPECT_EQ(check.find("backup/"), std::string::npos) << check;
    EXPECT_NE(check.find("No problems found\n"), std::string::npos) << check;

    for (const std::string& password : {legacy, dormant}) {
        const PasswordField scrambled = scrambledPassword(password);
        const std::string text(reinterpret_cast<const char*>(scrambled.data()), password.size());
        for (const auto& entry : std::filesystem::recursive_directory_iterator(network.dir().path())) {
            if (entry.is_regular_file()) {
                EXPECT_EQ(fileBytes(entry.path()).find(text), std::string::npos) << password << " " << entry.path();
            }
        }
    }
}
