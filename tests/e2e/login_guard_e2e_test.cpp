// A zone that guesses one account's password, against the real binary with
// hashing on: it gets a few checks and then refusals, whatever addresses it
// claims, while another zone logs that very account in, and its own
// players.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "e2e/zone_network.h"

using namespace tallysv;
using namespace tallysv::testing;

TEST(LoginGuardEndToEnd, AGuessingZoneIsLimitedWhileAnotherZoneLogsTheAccountIn) {
    ZoneNetwork network("PasswordHashing=1\nPasswordWorkers=1\n");
    {
        SystemClock clock;
        DiscardLog log;
        Settings settings;
        settings.passwordHashing = true;
        Database database(settings, clock, log, network.dir().str());
        database.createUser("Victim", "victim-pw", {}, 0, 0);
        database.createUser("Honest", "honest-pw", {}, 0, 0);
        ASSERT_TRUE(database.save());
    }
    network.startServer();
    auto hostile = network.zone(1, "Hostile");
    auto honest = network.zone(2, "Honest");
    constexpr int kGuesses = 20;
    for (int i = 0; i < kGuesses; ++i)
        hostile->send("player Victim guess" + std::to_string(i) + " --ip 10.9.0." + std::to_string(i + 1) + "\n");
    honest->send("player Honest honest-pw --ip 10.1.1.1\n");
    ASSERT_TRUE(honest->waitForOutput("login reply for player 1: result 6")) << honest->output();

    EXPECT_TRUE(waitForCount(*hostile, "login reply for player", kGuesses, std::chrono::seconds(20)));
    const std::string guessed = hostile->output();
    EXPECT_EQ(occurrences(guessed, ": result 2"), 5u) << guessed;
    EXPECT_EQ(occurrences(guessed, ": result 7"), static_cast<size_t>(kGuesses - 5)) << guessed;
    EXPECT_TRUE(network.server().waitForOutput("1 - Player connection refused(Too many attempts): Victim"))
        << network.server().output();

    // The account is not locked out of the other zone.
    honest->send("player Victim victim-pw --ip 10.1.1.2\n");
    EXPECT_TRUE(honest->waitForOutput("login reply for player 2: result 6")) << honest->output();
    for (auto* zone : {hostile.get(), honest.get()}) {
        zone->send("quit\n");
        zone->wait();
    }
    network.stopServer();
}
