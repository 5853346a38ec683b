#include <functional>

#include "net/udp_server.h"
#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

// The next deadline is when a maintenance pass first has something to do:
// a pass one tick before it does nothing, a pass at it does what fell due.
TEST_F(TransportTest, NextDeadlineIsWhenAPassFirstHasSomethingToDo) {
    settings.packetLossLimit = 30000;
    int decays = 0;
    setFloodDecay([&] { ++decays; });
    const struct Case {
        const char* what;
        std::function<void()> setUp;
        uint32_t due;  // after the start of the case
    } cases[] = {
        {"the flood decay", [] {}, CoreTransport::kFloodDecayInterval + 1},
        {"a host that has not logged in times out",
         [&] {
             settings.kickOutDelay = 2000;
             handshake();
         },
         2000},
        {"a resend at twice the round trip",
         [&] {
             Host& host = handshake();
             host.roundTrip = 100;
             transport.sendMessage(host, bytesOf({0x09, 1}));
         },
         200},
        {"the packet-loss limit before a late resend",
         [&] {
             Host& host = handshake();
             host.roundTrip = 20000;
             transport.sendMessage(host, bytesOf({0x09, 1}));
         },
         30000},
        {"a silent zone's probe",
         [&] {
             settings.zoneIdleProbe = 5000;
             transport.markLoggedIn(handshake());
         },
         5000},
    };
    for (const Case& c : cases) {
        settings.kickOutDelay = 100000;
        settings.zoneIdleProbe = 0;
        transport.restart();
        const uint32_t start = clock.tick();
        c.setUp();
        sink.sent.clear();
        log.clear();
        decays = 0;
        ASSERT_EQ(transport.nextDeadline(), start + c.due) << c.what;
        clock.setTick(start + c.due - 1);
        maintain();
        EXPECT_TRUE(sink.sent.empty() && log.lines().empty() && decays == 0) << c.what;
        clock.advance(1);
        maintain();
        EXPECT_TRUE(!sink.sent.empty() || !log.lines().empty() || decays > 0) << c.what;
    }
}

// The shell waits for the deadline it was given; it hears of one sooner
// (and only of one sooner) when it arises.
TEST_F(TransportTest, TheShellHearsOfEveryDeadlineSoonerThanTheOneItWasGiven) {
    settings.kickOutDelay = 100000;
    settings.zoneIdleProbe = 0;
    int moved = 0;
    transport.setDeadlineMoved([&] { ++moved; });
    const uint32_t start = clock.tick();
    EXPECT_EQ(transport.nextDeadline(), start + CoreTransport::kFloodDecayInterval + 1);
    transport.requestPassBy(start + 50000);
    EXPECT_EQ(moved, 0);
    transport.requestPassBy(start + 700);
    EXPECT_EQ(moved, 1);
    EXPECT_EQ(transport.nextDeadline(), start + 700);
    // A pass at the tick asked for forgets it.
    clock.setTick(start + 700);
    maintain();
    EXPECT_EQ(transport.nextDeadline(), start + 45001);

    Host& host = handshake();  // times out long after
    EXPECT_EQ(moved, 1);
    host.roundTrip = 100;
    transport.sendMessage(host, bytesOf({0x09, 1}));  // resent at +200
    EXPECT_EQ(moved, 2);
    EXPECT_EQ(transport.nextDeadline(), start + 900);
    clock.advance(200);
    maintain();
    // Backing off, the next resend waits 400 ms; hearing from the zone
    // brings it back to twice the round trip.
    EXPECT_EQ(transport.nextDeadline(), start + 1300);
    clock.advance(50);
    feedSealed(syncRequest(1));
    EXPECT_EQ(moved, 3);
    EXPECT_EQ(transport.nextDeadline(), start + 1100);
}

// How long the maintenance thread waits: passes keep their period, the one
// that handles a deadline is the first at or after it, and with nothing
// timed it waits until woken.
TEST(UdpServerPasses, WaitUntilThePassAtOrAfterTheDeadline) {
    const struct {
        uint32_t lastPass;
        std::optional<uint32_t> deadline;
        uint32_t period;
        uint32_t now;
        int wait;
    } cases[] = {
        {1000, std::nullopt, 50, 1000, -1},
        {1000, 900, 50, 1000, 50},      // overdue: the next pass
        {1000, 1049, 50, 1010, 40},
        {1000, 1051, 50, 1010, 90},     // the pass after
        {1000, 1100, 100, 1000, 100},
        {1000, 1101, 100, 1000, 200},
        {1000, 1010, 50, 1070, 0},      // the pass is late already
        {0xFFFFFFF0u, 0x10, 50, 0xFFFFFFF0u, 50},  // across the wrap
        {0xFFFFFFF0u, 0x30, 50, 0x5, 79},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UdpServer::passWait(c.lastPass, c.deadline, c.period, c.now), c.wait)
            << c.lastPass << " " << c.deadline.value_or(0) << " " << c.now;
    }
}

}  // namespace
}  // namespace tallysv::testing
