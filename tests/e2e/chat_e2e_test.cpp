// Chat channels end to end: the server binary and two `tallysv-zone` zones
// over loopback UDP, one player in each.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/zone_network.h"

using namespace tallysv::testing;

namespace {

// The chat lines a zone printed, in order, without the player tag.
std::vector<std::string> chatLines(const ChildProcess& zone) {
    std::vector<std::string> out;
    std::istringstream in(zone.output());
    for (std::string line; std::getline(in, line);) {
        const std::string prefix = "server: chat to player ";
        if (line.rfind(prefix, 0) != 0) continue;
        line = line.substr(prefix.size());
        if (size_t tag = line.rfind(" ["); tag != std::string::npos) line.erase(tag);
        out.push_back(line);
    }
    return out;
}

}  // namespace

TEST(ChatEndToEnd, ChannelsAcrossTwoZonesAndReordering) {
    ZoneNetwork network;
    network.startServer();
    auto north = network.zone(1, "North");
    auto south = network.zone(2, "South");
    north->send("player Ann secret --ip 10.1.1.1\n");
    ASSERT_TRUE(north->waitForOutput("login reply for player 1: result 6")) << north->output();
    south->send("player Bea hidden --ip 10.1.1.2\n");
    ASSERT_TRUE(south->waitForOutput("login reply for player 1: result 6")) << south->output();

    north->send("cmd Ann ?notifychat=on\n");
    ASSERT_TRUE(north->waitForOutput("text to player 1: Chat notify ENABLED")) << north->output();
    south->send("cmd Bea ?notifychat=on\n");
    ASSERT_TRUE(south->waitForOutput("text to player 1: Chat notify ENABLED")) << south->output();

    // Ann makes two channels; Bea joins them numbered the other way round.
    north->send("cmd Ann ?chat=Alpha,Beta\n");
    ASSERT_TRUE(north->waitForOutput("chat to player 1 slot 2: Ann created Beta")) << north->output();
    south->send("cmd Bea ?chat=Beta,Alpha\n");
    ASSERT_TRUE(north->waitForOutput("chat to player 1 slot 1: Bea entering Alpha")) << north->output();

    // Channel chat crosses zones, each side under its own numbers.
    north->send("chat Ann 1 hello from north\n");
    ASSERT_TRUE(south->waitForOutput("chat to player 1 slot 2: Ann> hello from north")) << south->output();
    south->send("chat Bea 1 hi back\n");
    ASSERT_TRUE(north->waitForOutput("chat to player 1 slot 2: Bea> hi back")) << north->output();

    // Ann swaps her numbers: Bea hears nothing, and chat follows the swap.
    north->send("cmd Ann ?chat=Beta,Alpha\n");
    north->send("chat Ann 1 after swap\n");
    ASSERT_TRUE(south->waitForOutput("chat to player 1 slot 1: Ann> after swap")) << south->output();

    // Ann drops Alpha for a channel of her own: Bea hears her leave Alpha.
    north->send("cmd Ann ?chat=Beta,Gamma\n");
    ASSERT_TRUE(south->waitForOutput("chat to player 1 slot 2: Ann left Alpha")) << south->output();
    ASSERT_TRUE(north->waitForOutput("chat to player 1 slot 2: Ann created Gamma")) << north->output();
    EXPECT_TRUE(network.server().waitForOutput("1 - Chat: (Beta)Ann>after swap")) << network.server().output();

    // North goes: its player leaves every channel, and Bea hears it.
    north->send("quit\n");
    EXPECT_TRUE(north->wait().has_value());
    ASSERT_TRUE(south->waitForOutput("chat to player 1 slot 1: Ann left Beta")) << south->output();
    south->send("quit\n");
    EXPECT_TRUE(south->wait().has_value());
    network.stopServer();

    EXPECT_EQ(chatLines(*north), (std::vector<std::string>{
                                     "1 slot 1: Ann created Alpha",
                                     "1 slot 2: Ann created Beta",
                                     "1 slot 2: Bea entering Beta",
                                     "1 slot 1: Bea entering Alpha",
                                     "1 slot 2: Bea> hi back",
                                     "1 slot 2: Ann created Gamma",
                                 }));
    EXPECT_EQ(chatLines(*south), (std::vector<std::string>{
                                     "1 slot 2: Ann> hello from north",
                                     "1 slot 1: Ann> after swap",
                                     "1 slot 2: Ann left Alpha",
                                     "1 slot 1: Ann left Beta",
                                 }));
}
