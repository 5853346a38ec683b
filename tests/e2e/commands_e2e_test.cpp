#include <gtest/gtest.h>

#include "e2e/zone_network.h"

using namespace tallysv::testing;

TEST(CommandsEndToEnd, OperatorsAddedInGameLogInAndAreListed) {
    ZoneNetwork network("SysopPassword=rootpw\n");
    network.startServer();
    auto zone = network.zone(1, "North");
    zone->send("player Alice secret --ip 10.1.1.1\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 1: result 6")) << zone->output();
    zone->send("player Bob hidden --ip 10.1.1.2\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 2: result 6")) << zone->output();

    zone->send("cmd Alice ?login rootpw\n");
    EXPECT_TRUE(zone->waitForOutput("text to player 1: Successfully logged on as Network-wide level 0"))
        << zone->output();
    zone->send("cmd Alice ?addop -3 Bob:bobpw\n");
    EXPECT_TRUE(zone->waitForOutput("text to player 1: Bob: Operator level 3 added zone-wide")) << zone->output();
    zone->send("cmd Bob ?login bobpw\n");
    EXPECT_TRUE(zone->waitForOutput("text to player 2: Successfully logged on as Zone-wide Operator level 3"))
        << zone->output();
    zone->send("cmd Alice ?listop\n");
    EXPECT_TRUE(zone->waitForOutput("text to player 1: 1*) ~guest:0 -> 1 session")) << zone->output();
    EXPECT_TRUE(zone->waitForOutput("text to player 1: 2) {1:North> Bob:3 -> 1 session")) << zone->output();
    EXPECT_TRUE(network.server().waitForOutput("1 - Alice>?listop")) << network.server().output();

    zone->send("quit\n");
    zone->wait();
    network.stopServer();
    // The new operator is in Op.dat after the save at shutdown.
    network.startServer();
    auto again = network.zone(1, "North");
    again->send("player Bob hidden --ip 10.1.1.2\n");
    ASSERT_TRUE(again->waitForOutput("login reply for player 1: result 6")) << again->output();
    again->send("cmd Bob ?login bobpw\n");
    EXPECT_TRUE(again->waitForOutput("text to player 1: Successfully logged on as Zone-wide Operator level 3"))
        << again->output();
    again->send("quit\n");
    again->wait();
    network.stopServer();
}
