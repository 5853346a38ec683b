#include "transport_fixture.h"
#include "zoneclient/zone_link.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

// A zone logged in at zoneA (ScoreID 7) whose session ends are counted.
class SilentZoneTest : public TransportTest {
protected:
    Host& loggedInZone() {
        setSessionEnd([this](Host&) { ++sessionEnds; });
        Host& host = handshake();
        transport.markLoggedIn(host);
        host.logNumber = 7;
        sendTicks_.clear();
        seen_ = 0;
        key_ = host.sessionKey();
        return host;
    }

    // The ticks, counted from `start`, at which the reliable datagram with
    // this payload and sequence number went to zoneA since the last look.
    std::vector<uint32_t> sendsOf(const Bytes& payload, int32_t sequence, uint32_t start) {
        const Bytes datagram = encrypted(key_, reliableDatagram(sequence, payload));
        std::vector<uint32_t> out;
        for (size_t i = seen_; i < sink.sent.size(); ++i) {
            if (sink.sent[i].to == zoneA && sink.sent[i].bytes == datagram) out.push_back(sendTicks_[i] - start);
        }
        seen_ = sink.sent.size();
        return out;
    }
    // Runs a maintenance pass every `step` ms for `ms` ms, noting when each
    // datagram left; `each` runs before every pass.
    void run(uint32_t ms, uint32_t step, const std::function<void()>& each = [] {}) {
        for (uint32_t done = 0; done < ms; done += step) {
            clock.advance(step);
            each();
            maintain();
            sendTicks_.resize(sink.sent.size(), clock.tick());
        }
    }
    void noteSends() { sendTicks_.resize(sink.sent.size(), clock.tick()); }

    int sessionEnds = 0;

private:
    std::vector<uint32_t> sendTicks_;
    size_t seen_ = 0;
    int32_t key_ = 0;
};

// One datagram to a zone that never acknowledges it: when it is sent again.
TEST_F(SilentZoneTest, ResendTimesOfOneDatagram) {
    auto every = [](uint32_t from, uint32_t step, uint32_t below) {
        std::vector<uint32_t> out;
        for (uint32_t t = from; t < below; t += step) out.push_back(t);
        return out;
    };
    auto join = [](std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct {
        const char* what;
        bool backoff;
        bool zoneTalks;  // the zone sends other datagrams meanwhile
        uint32_t roundTrip;
        std::vector<uint32_t> resends;
    } cases[] = {
        {"without back-off: every twice the round trip", false, false, 100, every(200, 200, 10000)},
        {"doubling to the cap of 1 s", true, false, 100, join({200, 600, 1400}, every(2400, 1000, 10000))},
        {"loopback: doubling from one pass", true, false, 0,
         join({10, 60, 160, 360, 760, 1560}, every(2560, 1000, 10000))},
        {"a round trip past the cap keeps its first wait", true, false, 1500, every(3000, 3000, 10000)},
        {"a zone that talks is resent to at today's pace", true, true, 100, every(200, 200, 10000)},
    };
    for (const auto& c : cases) {
        settings.resendBackoff = c.backoff;
        settings.packetLossLimit = 10000;
        settings.zoneIdleProbe = 0;
        sessionEnds = 0;
        Host& host = loggedInZone();
        host.roundTrip = c.roundTrip;
        const uint32_t start = clock.tick();
        transport.sendMessage(host, bytesOf({0x09, 1}));
        noteSends();
        const Bytes message = bytesOf({0x09, 1});
        EXPECT_EQ(sendsOf(message, 0, start), std::vector<uint32_t>{0}) << c.what;
        int syncs = 0;
        run(10000, 10, [&] {
            if (c.zoneTalks && clock.tick() % 50 == 0) feedSealed(syncRequest(static_cast<uint32_t>(++syncs)));
        });
        EXPECT_EQ(sendsOf(message, 0, start), c.resends) << c.what;
        // The packet-loss limit still counts from the first send.
        EXPECT_EQ(transport.findHost(zoneA), nullptr) << c.what;
        EXPECT_EQ(lastLine(), "7 - Connection broken: Reliable packet lost") << c.what;
        EXPECT_EQ(sessionEnds, 1) << c.what;
    }
}

// One datagram lost on the way; the zone acknowledges the resend. The
// connection recovers at the same moment with back-off as without.
TEST_F(SilentZoneTest, RecoveryAfterALossIsAsFastAsWithoutBackOff) {
    for (bool backoff : {false, true}) {
        settings.resendBackoff = backoff;
        Host& host = loggedInZone();
        host.roundTrip = 100;
        for (int i = 0; i < 5; ++i) transport.sendMessage(host, bytesOf({0x09, i}));
        // Number 0 is lost; 1 and 2 are acknowledged after a round trip.
        clock.advance(100);
        feedSealed(acknowledgement(1));
        feedSealed(acknowledgement(2));
        run(100, 50);
        // 3 and 4 sent at 100, 0 resent at 200.
        EXPECT_EQ(reliableNumbersTo(zoneA), (std::vector<int32_t>{0, 1, 2, 3, 4, 0})) << backoff;
        clock.advance(50);
        for (int i : {0, 3, 4}) feedSealed(acknowledgement(i));
        EXPECT_EQ(host.resends, 1u) << backoff;
        // Nothing awaits an acknowledgement any more: none of them goes again.
        sink.sent.clear();
        run(2000, 50);
        for (int32_t n : reliableNumbersTo(zoneA)) EXPECT_GE(n, 5) << backoff;
        EXPECT_EQ(transport.findHost(zoneA), &host) << backoff;
        closeZone(host);
    }
}

TEST_F(SilentZoneTest, ASilentZoneIsProbedAndDroppedWithinProbePlusLossLimit) {
    settings.zoneIdleProbe = 30000;
    settings.packetLossLimit = 30000;
    Host& host = loggedInZone();
    const uint32_t heard = host.lastReceiveTick;
    const Bytes probe = bytesOf({0x00, 0x0E});
    run(29950, 50);
    EXPECT_TRUE(sink.sent.empty());
    run(50, 50);
    EXPECT_EQ(sendsOf(probe, 0, heard), std::vector<uint32_t>{30000});
    run(29950, 50);
    EXPECT_EQ(transport.findHost(zoneA), &host);
    run(50, 50);
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
    EXPECT_EQ(clock.tick() - heard, 60000u);
    EXPECT_EQ(sessionEnds, 1);
    EXPECT_EQ(lastLine(), "7 - Connection broken: Reliable packet lost");
}

// Probes that the zone acknowledges keep it; a zone that talks, a zone
// with something of ours in flight, or probing turned off, gets none.
TEST_F(SilentZoneTest, ProbesGoOnlyToSilentZonesAndAnAcknowledgedOneKeepsTheZone) {
    const struct {
        const char* what;
        int32_t probe;
        uint32_t talkEvery;  // ms between the zone's sync requests; 0: silent
        size_t probes;       // in ten minutes
    } cases[] = {
        {"silent, probed every 30 s", 30000, 0, 20},
        {"a sync request every 29 s", 30000, 29000, 0},
        {"probing off", 0, 0, 0},
    };
    for (const auto& c : cases) {
        settings.zoneIdleProbe = c.probe;
        sessionEnds = 0;
        sink.sent.clear();
        Host& host = loggedInZone();
        // The zone's side, which acknowledges what it gets.
        ZoneLink zone([this](std::span<const uint8_t> d) { feed(Bytes(d.begin(), d.end())); }, 1);
        zone.receive(connectionReply(host.sessionKey()), clock.tick());
        size_t delivered = 0;
        size_t probes = 0;
        uint32_t lastTalk = clock.tick();
        for (uint32_t t = 0; t < 600000; t += 50) {
            clock.advance(50);
            if (c.talkEvery != 0 && clock.tick() - lastTalk >= c.talkEvery) {
                zone.sendSyncRequest(clock.tick());
                lastTalk = clock.tick();
            }
            maintain();
            for (; delivered < sink.sent.size(); ++delivered) {
                const Bytes& d = sink.sent[delivered].bytes;
                if (d.size() > 6 && d[0] == 0 && d[1] == 3) ++probes;
                zone.receive(d, clock.tick());
            }
        }
        EXPECT_EQ(probes, c.probes) << c.what;
        EXPECT_EQ(transport.findHost(zoneA), &host) << c.what;
        EXPECT_EQ(sessionEnds, 0) << c.what;
        // The probe is nothing to the zone but an acknowledgement.
        EXPECT_TRUE(zone.inbox.empty()) << c.what;
        closeZone(host);
    }
}

TEST_F(SilentZoneTest, NothingIsProbedWhileADatagramAwaitsItsAcknowledgement) {
    settings.zoneIdleProbe = 1000;
    settings.packetLossLimit = 5000;
    Host& host = loggedInZone();
    host.roundTrip = 3000;
    const uint32_t heard = host.lastReceiveTick;
    transport.sendMessage(host, bytesOf({0x09, 1}));
    noteSends();
    run(4950, 50);
    // The message alone: no resend before twice the round trip, and no probe.
    EXPECT_EQ(sendsOf(bytesOf({0x09, 1}), 0, heard), (std::vector<uint32_t>{0}));
    EXPECT_EQ(sink.sent.size(), 1u);
    // It still awaits its acknowledgement: the packet-loss limit ends it.
    ASSERT_EQ(transport.findHost(zoneA), &host);
    run(50, 50);
    EXPECT_EQ(lastLine(), "7 - Connection broken: Reliable packet lost");
}

}  // namespace
}  // namespace tallysv::testing
