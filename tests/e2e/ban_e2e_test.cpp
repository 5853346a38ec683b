#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/fake_whois_server.h"
#include "e2e/zone_network.h"

using namespace tallysv::testing;

namespace {

// A server with a Network Administrator password, two zones of group 1
// (North 1, South 2) and an operator logged in in North.
class BanNetwork : public ::testing::Test {
protected:
    void start(const std::string& extraMisc = "") {
        network_ = std::make_unique<ZoneNetwork>("SysopPassword=chief\n" + extraMisc);
        network_->startServer();
        north_ = network_->zone(1, "North");
        south_ = network_->zone(2, "South");
        north_->send("player Op secret --ip 10.1.1.1 --machine-id 500001\n");
        ASSERT_TRUE(north_->waitForOutput("login reply for player 1: result 6")) << north_->output();
        north_->send("cmd Op ?login chief\n");
        ASSERT_TRUE(north_->waitForOutput("Successfully logged on as Network-wide level 0")) << north_->output();
    }
    void TearDown() override {
        for (auto* zone : {north_.get(), south_.get()}) {
            if (!zone) continue;
            zone->send("quit\n");
            zone->wait();
        }
        if (network_) network_->stopServer();
    }
    ChildProcess& server() { return network_->server(); }

    std::unique_ptr<ZoneNetwork> network_;
    std::unique_ptr<ChildProcess> north_;
    std::unique_ptr<ChildProcess> south_;
};

TEST_F(BanNetwork, BanKickLockOutLiftAndRecycle) {
    start();
    ChildProcess& north = *north_;
    ChildProcess& south = *south_;
    north.send("player Alice pw --ip 10.2.2.2 --machine-id 500002\n");
    ASSERT_TRUE(north.waitForOutput("login reply for player 2: result 6")) << north.output();
    south.send("player Bob pw --ip 10.3.3.3 --machine-id 500003\n");
    ASSERT_TRUE(south.waitForOutput("login reply for player 1: result 6")) << south.output();

    // A player of the operator's zone gets the ban notice and is kicked.
    north.send("cmd Op ?ban -d=2 Alice\n");
    EXPECT_TRUE(north.waitForOutput("server: text to player 2: You have been banned from North until ")) << north.output();
    EXPECT_TRUE(north.waitForOutput(".  Ban # 1 by Op [Alice]")) << north.output();
    EXPECT_TRUE(north.waitForOutput("server: kick player 2 (reason 1) [Alice]")) << north.output();
    EXPECT_TRUE(north.waitForOutput("server: text to player 1: Ban # 1 added zone-wide. Duration: 2 day(s). [Op]"))
        << north.output();

    // A player in the other zone is not kicked, but locked out at his next
    // login.
    north.send("cmd Op ?ban -* Bob\n");
    ASSERT_TRUE(north.waitForOutput("Ban # 2 added network-wide. Duration: 1 day(s).")) << north.output();
    south.send("leave Bob\n");
    ASSERT_TRUE(server().waitForOutput("2 - Player leaving")) << server().output();
    EXPECT_EQ(occurrences(south.output(), "kick player"), 0u) << south.output();
    south.send("player Bob pw --ip 10.3.3.3 --machine-id 500003\n");
    EXPECT_TRUE(south.waitForOutput(": result 0 (accepted), name ^Banned, ")) << south.output();

    // Lifted, he gets in again.
    north.send("cmd Op ?liftban 2\n");
    ASSERT_TRUE(north.waitForOutput("server: text to player 1: Ban lifted [Op]")) << north.output();
    south.send("leave Bob\n");
    south.send("player Bob pw --ip 10.3.3.3 --machine-id 500003\n");
    EXPECT_TRUE(waitForCount(south, ": result 6 (accepted, registration form wanted), name Bob, ", 2))
        << south.output();

    // The recycle order reaches the other zone.
    north.send("cmd Op ?recyclezone 2\n");
    EXPECT_TRUE(north.waitForOutput("server: text to player 1: Recycle in progress [Op]")) << north.output();
    EXPECT_TRUE(south.waitForOutput("server: recycle order")) << south.output();
    EXPECT_EQ(occurrences(north.output(), "recycle order"), 0u);
}

TEST_F(BanNetwork, ASilentWhoisServerHoldsOnlyTheOperatorWhoAsked) {
    FakeWhoisServer silent({}, true);
    start("WhoisServer=" + silent.server() + "\nWhoisTimeout=2500\n");
    ChildProcess& north = *north_;
    ChildProcess& south = *south_;
    std::unique_ptr<ChildProcess> east = network_->zone(3, "East");
    north.send("player Carol pw --ip 10.4.4.4 --machine-id 500004\n");
    ASSERT_TRUE(north.waitForOutput("login reply for player 2: result 6")) << north.output();
    // Bea in South and Eve in East share a channel.
    south.send("player Bea pw --ip 10.5.5.5 --machine-id 500005\n");
    ASSERT_TRUE(south.waitForOutput("login reply for player 1: result 6")) << south.output();
    east->send("player Eve pw --ip 10.6.6.6 --machine-id 500006\n");
    ASSERT_TRUE(east->waitForOutput("login reply for player 1: result 6")) << east->output();
    south.send("cmd Bea ?notifychat=on\n");
    ASSERT_TRUE(south.waitForOutput("Chat notify ENABLED")) << south.output();
    south.send("cmd Bea ?chat=Trade\n");
    // Bea first: her notice of Eve comes only if she is in the channel when
    // Eve enters.
    ASSERT_TRUE(server().waitForOutput("2 - Bea>?chat=Trade")) << server().output();
    east->send("cmd Eve ?chat=Trade\n");
    ASSERT_TRUE(south.waitForOutput("Eve entering Trade")) << south.output();

    auto asked = std::chrono::steady_clock::now();
    north.send("cmd Op ?ban -! Carol\n");
    ASSERT_TRUE(north.waitForOutput("Please wait while downloading information for NetBlock...")) << north.output();
    // While the whois server says nothing, the other zones' chat is
    // relayed and a player enters: the lookup holds only its operator.
    east->send("chat Eve 1 anyone selling ore\n");
    ASSERT_TRUE(south.waitForOutput("Eve> anyone selling ore")) << south.output();
    south.send("player Dave pw --ip 10.7.7.7 --machine-id 500007\n");
    ASSERT_TRUE(south.waitForOutput("login reply for player 2: result 6")) << south.output();
    EXPECT_EQ(occurrences(north.output(), "Unable to calculate NetBlock"), 0u) << "answered before the others";

    ASSERT_TRUE(north.waitForOutput("Unable to calculate NetBlock. Try your request again soon")) << north.output();
    auto answered = std::chrono::steady_clock::now();
    EXPECT_GE(answered - asked, std::chrono::milliseconds(2400));
    EXPECT_LT(answered - asked, std::chrono::milliseconds(10000));
    EXPECT_EQ(silent.queries(), std::vector<std::string>{"10.4.4.4"});
    EXPECT_EQ(occurrences(north.output(), "kick player"), 0u);
    east->send("quit\n");
    east->wait();
}

}  // namespace
