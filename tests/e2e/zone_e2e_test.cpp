#include <gtest/gtest.h>

#include "e2e/zone_network.h"

using namespace tallysv::testing;

TEST(ZoneNetworkEndToEnd, PlayersBroadcastsAndScoresAcrossARestart) {
    ZoneNetwork network;
    network.startServer();
    auto north = network.zone(1, "North");
    auto south = network.zone(2, "South");

    north->send("player Alice secret --ip 10.1.1.1\n");
    ASSERT_TRUE(north->waitForOutput("login reply for player 1: result 6")) << north->output();
    south->send("player Bob hidden --ip 10.1.1.2\n");
    ASSERT_TRUE(south->waitForOutput("login reply for player 1: result 6")) << south->output();
    EXPECT_TRUE(network.server().waitForOutput("1 - New player entering: Alice"));
    EXPECT_TRUE(network.server().waitForOutput("2 - New player entering: Bob"));

    north->send("broadcast Hello network\n");
    EXPECT_TRUE(north->waitForOutput("broadcast: Hello network")) << north->output();
    EXPECT_TRUE(south->waitForOutput("broadcast: Hello network")) << south->output();

    north->send("leave Alice --usage 30 --scores 11 12 13 140000 -15\n");
    ASSERT_TRUE(network.server().waitForOutput("1 - Player leaving(New Score): Alice")) << network.server().output();

    network.server().send("l");
    EXPECT_TRUE(network.server().waitForOutput("Bob, \n")) << network.server().output();

    north->send("quit\n");
    south->send("quit\n");
    EXPECT_TRUE(north->wait().has_value());
    EXPECT_TRUE(south->wait().has_value());
    network.stopServer();

    // After a restart the account and its scores come back from the files.
    network.startServer();
    auto again = network.zone(1, "North");
    again->send("player alice secret --ip 10.1.1.1\n");
    ASSERT_TRUE(again->waitForOutput("result 6 (")) << again->output();
    EXPECT_TRUE(again->waitForOutput("usage 30, scores 11/12/13/140000/-15")) << again->output();
    again->send("player Alice wrong --ip 10.1.1.1\n");
    EXPECT_TRUE(again->waitForOutput("result 2")) << again->output();
    again->send("quit\n");
    again->wait();
    network.stopServer();
}
