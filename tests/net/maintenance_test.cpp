#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

TEST_F(TransportTest, IdleHostsTimeOutOnlyBeforeZoneLogin) {
    settings.kickOutDelay = 60000;
    settings.zoneIdleProbe = 0;  // a silent logged-in zone is then kept for ever
    handshake(zoneA);
    Host& zone = handshake(zoneB);
    transport.markLoggedIn(zone);
    zone.logNumber = 5;
    clock.advance(59999);
    maintain();
    EXPECT_EQ(transport.hosts().size(), 2u);
    clock.advance(1);
    maintain();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Session timeout: 10.0.0.1:5000  Punt!"});
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
    clock.advance(10'000'000);
    maintain();
    EXPECT_EQ(transport.findHost(zoneB), &zone);
}

TEST_F(TransportTest, EveryDispatchedDatagramRestartsTheIdleTime) {
    settings.kickOutDelay = 1000;
    Host& host = handshake();
    clock.advance(900);
    feedSealed(syncRequest(1));
    EXPECT_EQ(host.lastReceiveTick, clock.tick());
    clock.advance(900);
    maintain();
    EXPECT_EQ(transport.findHost(zoneA), &host);
}

TEST_F(TransportTest, TimingHoldsAcrossTheWrapOfTheTickCounter) {
    settings.kickOutDelay = 1000;
    settings.packetLossLimit = 2000;
    clock.setTick(0xFFFFFF00u);
    Host& idle = handshake(zoneA);
    Host& zone = handshake(zoneB);
    transport.markLoggedIn(zone);
    transport.sendMessage(zone, bytesOf({0x09, 0}));
    clock.advance(999);  // past the wrap
    maintain();
    EXPECT_EQ(transport.findHost(zoneA), &idle);
    EXPECT_EQ(transport.findHost(zoneB), &zone);
    clock.advance(1);
    maintain();
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
    clock.advance(1000);
    maintain();
    EXPECT_EQ(transport.findHost(zoneB), nullptr);
    EXPECT_EQ(lastLine(), "-1 - Connection broken: Reliable packet lost");
}

TEST_F(TransportTest, FloodDecayRunsEvery45Seconds) {
    int decays = 0;
    setFloodDecay([&] { ++decays; });
    clock.advance(45000);
    maintain();
    EXPECT_EQ(decays, 0);  // more than 45000 ms must have passed
    clock.advance(1);
    maintain();
    EXPECT_EQ(decays, 1);
    clock.advance(45000);
    maintain();
    EXPECT_EQ(decays, 1);
    clock.advance(1);
    maintain();
    EXPECT_EQ(decays, 2);
}

TEST_F(TransportTest, KickCheckRunsForEveryHostBeforeItsIdleTest) {
    settings.kickOutDelay = 100;
    std::vector<Host*> checked;
    setKickCheck([&](Host& h) {
        checked.push_back(&h);
        EXPECT_FALSE(h.closed());
    });
    Host& a = handshake(zoneA);
    Host& b = handshake(zoneB);
    clock.advance(100);
    maintain();
    EXPECT_EQ(checked, (std::vector<Host*>{&a, &b}));
    EXPECT_TRUE(transport.hosts().empty());
}

TEST_F(TransportTest, KickCheckMayRemoveTheHost) {
    setKickCheck([&](Host& h) { closeZone(h); });
    Host& host = handshake();
    transport.sendMessage(host, bytesOf({0x09, 0}));
    maintain();
    EXPECT_TRUE(transport.hosts().empty());
}

}  // namespace
}  // namespace tallysv::testing
