#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "e2e/zone_network.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

using Wall = std::chrono::steady_clock;

// The most whole seconds of calendar time that can pass within `span`.
int32_t mostSeconds(Wall::duration span) {
    return static_cast<int32_t>(std::ceil(std::chrono::duration<double>(span).count()));
}

}  // namespace

// A zone that lets chat clients in with MachineID 0 and never fills in the
// usage of its leaving message, with both settings on.
TEST(ChatClientsEndToEnd, ClientsWithoutAMachineEnterAndTheServerMeasuresPlayTime) {
    ZoneNetwork network("AllowNoMachineID=1\nUsageFromSessions=1\n");
    network.startServer();
    auto zone = network.zone(1, "Chat");

    const auto asked = Wall::now();
    zone->send("player BotOne pw --machine-id 0 --ip 10.1.1.1\n");
    zone->send("player BotTwo pw --machine-id 0 --ip 10.1.1.2\n");
    zone->send("player Faker pw --machine-id 31337 --ip 10.1.1.3\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 1: result 6 (accepted, registration form wanted), name BotOne"))
        << zone->output();
    ASSERT_TRUE(zone->waitForOutput("login reply for player 2: result 6 (accepted, registration form wanted), name BotTwo"))
        << zone->output();
    ASSERT_TRUE(zone->waitForOutput("login reply for player 3: result 0 (accepted), name ^Banned")) << zone->output();
    const auto accepted = Wall::now();

    // The server counts whole seconds of its calendar clock: let more than
    // one pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const auto leaving = Wall::now();
    zone->send("leave BotOne --usage 0\n");
    ASSERT_TRUE(network.server().waitForOutput("1 - Player leaving(New Score): BotOne")) << network.server().output();
    const auto left = Wall::now();

    // BotTwo is still in when the server stops.
    network.stopServer();
    const auto stopped = Wall::now();
    zone->wait();

    SystemClock clock;
    DiscardLog quiet;
    Settings filesSettings;
    Database files(filesSettings, clock, quiet, network.dir().str());
    files.load();
    const UserRecord* one = files.findUser("BotOne");
    const UserRecord* two = files.findUser("BotTwo");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(files.findUser("Faker"), nullptr);
    EXPECT_EQ(one->machineID(), 0);
    EXPECT_GE(one->Usage, static_cast<int32_t>(std::floor(std::chrono::duration<double>(leaving - accepted).count())));
    EXPECT_LE(one->Usage, mostSeconds(left - asked));
    EXPECT_GE(two->Usage, one->Usage);
    EXPECT_GE(two->Usage, 1);
    EXPECT_LE(two->Usage, mostSeconds(stopped - asked));
}
