#include "net/peer_reset.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/transport_fixture.h"

namespace tallysv::testing {
namespace {

using zoneclient::Bytes;

const Bytes kResetNotice{0x00, 0x07};

Bytes resetAnswerTo(PeerReset& reset, const Bytes& datagram, const IPv4Address& from, uint32_t now) {
    auto answer = reset.answer(datagram, from, now);
    return Bytes(answer.begin(), answer.end());
}

struct ResetCase {
    const char* what;
    Bytes datagram;
    bool answered;
};

// Which datagrams from an address without a session get the notice: what a
// zone of a lost session sends, yes; what starts or ends a session, or is
// too short to be answered by two bytes, no.
TEST(PeerReset, AnswersWhatASessionSendsAndNothingThatStartsOrEndsOne) {
    const std::vector<ResetCase> cases = {
        {"reliable datagram", zoneclient::reliableDatagram(7, Bytes{0x02, 0x01}), true},
        {"acknowledgement", zoneclient::acknowledgement(3), true},
        {"sync request", zoneclient::syncRequest(12345), true},
        {"small chunk", zoneclient::smallChunkBody(Bytes{1, 2, 3}), true},
        {"application message", Bytes{0x02, 0x00}, true},
        {"core type of two bytes", Bytes{0x00, 0x0E}, true},
        {"connection request", zoneclient::connectionRequest(99), false},
        {"malformed connection request", Bytes{0x00, 0x01, 0x05}, false},
        {"disconnect notice", zoneclient::disconnectNotice(), false},
        {"one byte", Bytes{0x03}, false},
        {"one zero byte", Bytes{0x00}, false},
    };
    for (const ResetCase& c : cases) {
        PeerReset reset;
        Bytes answer = resetAnswerTo(reset, c.datagram, {192, 0, 2, 1}, 5000);
        EXPECT_EQ(answer, c.answered ? kResetNotice : Bytes{}) << c.what;
        EXPECT_LE(answer.size(), c.datagram.size()) << c.what;
    }
}

// A few answers a window per address, whatever its ports; other addresses
// have their own; the window runs on across the wrap of the tick.
TEST(PeerReset, LimitsEachAddressToAFewAnswersAWindow) {
    for (uint32_t start : {5000u, 0xFFFFFF00u}) {
        PeerReset reset;
        const Bytes sync = zoneclient::syncRequest(1);
        const IPv4Address one{192, 0, 2, 1}, other{192, 0, 2, 2};
        int answered = 0;
        for (int i = 0; i < 10; ++i) answered += !resetAnswerTo(reset, sync, one, start + i * 10).empty();
        EXPECT_EQ(answered, PeerReset::kAnswersPerWindow) << start;
        EXPECT_EQ(resetAnswerTo(reset, sync, other, start + 100), kResetNotice) << start;
        // Still within the window of the first answer.
        EXPECT_EQ(resetAnswerTo(reset, sync, one, start + PeerReset::kWindow - 1), Bytes{}) << start;
        EXPECT_EQ(resetAnswerTo(reset, sync, one, start + PeerReset::kWindow), kResetNotice) << start;
    }
}

// The table of addresses is bounded: once full, a new address gets no
// answer until the windows of the others have ended, and then the ended
// ones are forgotten.
TEST(PeerReset, HoldsABoundedNumberOfAddresses) {
    PeerReset reset;
    const Bytes ack = zoneclient::acknowledgement(1);
    for (size_t i = 0; i < PeerReset::kMaxAddresses; ++i) {
        IPv4Address address{10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        ASSERT_EQ(resetAnswerTo(reset, ack, address, 1000), kResetNotice) << i;
    }
    const IPv4Address late{198, 51, 100, 7};
    EXPECT_EQ(resetAnswerTo(reset, ack, late, 1500), Bytes{});
    EXPECT_EQ(reset.addressesHeld(), PeerReset::kMaxAddresses);
    EXPECT_EQ(resetAnswerTo(reset, ack, late, 1000 + PeerReset::kWindow), kResetNotice);
    EXPECT_EQ(reset.addressesHeld(), 1u);
}

class ResetUnknownPeersTest : public TransportTest {};

// With the setting on, a zone that still talks a session this server never
// had hears the notice at once, and can then start one.
TEST_F(ResetUnknownPeersTest, ALostSessionIsToldAndMayConnectAgain) {
    settings.resetUnknownPeers = true;
    feed(zoneclient::encrypted(-kClientKey, zoneclient::reliableDatagram(41, Bytes{0x04, 1, 2, 3, 4})));
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].to, zoneA);
    EXPECT_EQ(sink.sent[0].bytes, kResetNotice);
    // Told, it holds no host slot: a network's zones coming over from a lost
    // server do not fill the slots twice over.
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
    EXPECT_TRUE(transport.hosts().empty());
    EXPECT_EQ(log.text(), "");
    sink.sent.clear();

    feed(zoneclient::connectionRequest(kClientKey));
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].bytes, zoneclient::connectionReply(-kClientKey));
    EXPECT_EQ(lastLine(), "Connection request from 10.0.0.1:5000");
    EXPECT_EQ(transport.counters().datagramsOut, 2u);
}

// Off (the default), and for a peer that has a session, nothing is sent.
TEST_F(ResetUnknownPeersTest, AnswersOnlyWhenOnAndOnlyPeersWithoutASession) {
    feed(zoneclient::syncRequest(1), zoneB);
    EXPECT_TRUE(sink.sent.empty());

    settings.resetUnknownPeers = true;
    handshake(zoneA);
    feedSealed(Bytes{0x00, 0x0F, 1, 2}, zoneA);
    feedSealed(Bytes{0x07, 1, 2}, zoneA);
    EXPECT_TRUE(sink.sent.empty());
    feed(zoneclient::syncRequest(2), zoneB);
    EXPECT_EQ(sentTo(zoneB, 0), std::vector<Bytes>{kResetNotice});
}

// The transport keeps to the limit per address: a zone that sends a burst
// gets a few notices, and more once a second has passed.
TEST_F(ResetUnknownPeersTest, KeepsToTheLimitPerAddress) {
    settings.resetUnknownPeers = true;
    for (int i = 0; i < 10; ++i) feed(zoneclient::acknowledgement(i));
    EXPECT_EQ(sentTo(zoneA, 0).size(), static_cast<size_t>(PeerReset::kAnswersPerWindow));
    // Past the limit the datagrams are ignored as without the setting: the
    // host they made stays until its idle limit.
    EXPECT_NE(transport.findHost(zoneA), nullptr);
    clock.advance(PeerReset::kWindow);
    feed(zoneclient::acknowledgement(11));
    EXPECT_EQ(sentTo(zoneA, 0).size(), static_cast<size_t>(PeerReset::kAnswersPerWindow) + 1);
}

}  // namespace
}  // namespace tallysv::testing
