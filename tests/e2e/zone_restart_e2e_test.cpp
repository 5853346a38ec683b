#include <gtest/gtest.h>

#include <csignal>

#include "e2e/zone_network.h"

using namespace tallysv::testing;

// A zone bound to a fixed port is killed and started again at once: its new
// session takes over the old one as soon as its zone login is accepted,
// rather than waiting for the zone to give up on its request.
TEST(ZoneRestartEndToEnd, AZoneRestartedOnItsFixedPortDocksAtOnce) {
    ZoneNetwork network;
    network.startServer();
    const int port = freeUdpPort();
    auto first = network.startZone(1, "Fixed", 1, port);
    ASSERT_TRUE(network.server().waitForOutput("1 - Docking granted: Fixed")) << network.server().output();
    first->send("player Alice secret --ip 10.1.1.1\n");
    ASSERT_TRUE(first->waitForOutput("login reply for player 1: result 6")) << first->output();
    first->signal(SIGKILL);
    first->wait();

    auto again = network.startZone(1, "Fixed", 1, port);
    // Well within the 10 s after which a zone gives its request up.
    ASSERT_TRUE(network.server().waitForOutput("1 - Connection broken: Zone restarted at 127.0.0.1:" +
                                                   std::to_string(port),
                                               std::chrono::seconds(5)))
        << network.server().output() << again->output();
    ASSERT_TRUE(again->waitForOutput("connected to")) << again->output();
    EXPECT_EQ(occurrences(network.server().output(), "1 - Docking granted: Fixed"), 2u) << network.server().output();
    // Alice left with the old session: she enters again through the new one.
    again->send("player Alice secret --ip 10.1.1.1\n");
    EXPECT_TRUE(again->waitForOutput("login reply for player 1: result 6")) << again->output();
    network.server().send("l");
    EXPECT_TRUE(network.server().waitForOutput("127.0.0.1:" + std::to_string(port) + "\nAlice, \n"))
        << network.server().output();
    again->send("quit\n");
    EXPECT_TRUE(again->wait().has_value());
    network.stopServer();
}

// A zone frozen with a player in it and nobody talking: probed, then
// dropped at the packet-loss limit; woken, it hears that it was dropped.
TEST(ZoneRestartEndToEnd, AFrozenZoneIsDroppedAndToldWhenItWakes) {
    ZoneNetwork network("", "ZoneIdleProbe=300\nPacketLossLimit=1000\n");
    network.startServer();
    auto zone = network.zone(1, "Frozen");
    zone->send("player Alice secret --ip 10.1.1.1\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 1: result 6")) << zone->output();
    zone->signal(SIGSTOP);
    EXPECT_TRUE(network.server().waitForOutput("1 - Connection broken: Reliable packet lost"))
        << network.server().output();
    zone->signal(SIGCONT);
    EXPECT_TRUE(zone->waitForOutput("server closed the connection")) << zone->output();
    zone->wait();
    network.stopServer();
}
