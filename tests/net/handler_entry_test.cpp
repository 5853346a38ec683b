// The layer above acts on each event before the transport goes on with the
// datagram, so what both send and print keeps the order of one walk through
// it; and the console lines of one datagram or maintenance pass are written
// out together.
#include <string>

#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

TEST_F(TransportTest, WhatTheLayerAboveSendsForAMessageLeavesBeforeWhatTheRestOfTheDatagramMakes) {
    Host& host = handshake();
    onMessage = [&](InboundMessage& m) { transport.sendMessage(*m.host, bytesOf({0x09, m.bytes[1]}), false); };
    // A message, a sync request, another message: their answers in order.
    const Bytes sync = bytesOf({0x00, 0x05, 1, 2, 3, 4});
    feedSealed(cluster({bytesOf({0x30, 1}), sync, bytesOf({0x30, 2})}));
    const std::vector<Bytes> sent = sentTo(zoneA);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], bytesOf({0x09, 1}));
    EXPECT_EQ(sent[1].size(), 9u);
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 6), bytesOf({0x00, 0x05, 1, 2, 3, 4}));
    EXPECT_EQ(sent[2], bytesOf({0x09, 2}));
    EXPECT_EQ(transport.findHost(zoneA), &host);
}

TEST_F(TransportTest, WhatTheLayerAboveChangesForOneMessageHoldsForTheNextOfTheSameDatagram) {
    handshake();
    bool switched = false;
    std::vector<std::pair<int, bool>> seen;
    onMessage = [&](InboundMessage& m) {
        seen.emplace_back(m.bytes[1], switched);
        if (m.bytes[0] == 0x30) switched = true;
    };
    feedReliable(0, cluster({bytesOf({0x31, 1}), bytesOf({0x30, 2}), bytesOf({0x31, 3})}));
    EXPECT_EQ(seen, (std::vector<std::pair<int, bool>>{{1, false}, {2, false}, {3, true}}));
}

TEST_F(TransportTest, AHostClosedOutsideADatagramStaysReadableUntilTheNextHandling) {
    Host& host = handshake();
    bool destroyed = false;
    struct Watched final : HostAttachment {
        explicit Watched(bool& flag) : flag(flag) {}
        ~Watched() override { flag = true; }
        bool& flag;
    };
    host.attachment = std::make_unique<Watched>(destroyed);
    EXPECT_TRUE(transport.disconnectHost(host));
    EXPECT_TRUE(host.closed());
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
    feed(connectionRequest(kClientKey), zoneB);
    EXPECT_TRUE(destroyed);
}

// Records each text with the depth of batching it was written at.
class BatchWatchingLog final : public Log {
public:
    struct Written {
        std::string text;
        int depth;
    };
    void write(std::string_view text) override { written.push_back({std::string(text), depth}); }
    void beginBatch() override { ++depth; }
    void endBatch() override {
        --depth;
        if (depth == 0) ++batchesEnded;
    }
    std::vector<Written> written;
    int depth = 0;
    int batchesEnded = 0;
};

class TransportBatchTest : public ::testing::Test {
protected:
    TransportBatchTest() : transport(sink, clock, log, settings) {}

    FakeClock clock{1000};
    BatchWatchingLog log;
    Settings settings;
    RecordingSink sink;
    CoreTransport transport;
    PeerAddress zone{{10, 0, 0, 1}, 5000};
};

// Acts on the events of what was begun as the zone layer would with
// nothing of its own to do: every message unhandled.
void actAsAnEmptyLayer(CoreTransport& transport) {
    TransportEvent event;
    while (transport.nextEvent(event))
        if (event.kind == TransportEvent::Kind::Message) transport.reportUnhandled(*event.message);
}

TEST_F(TransportBatchTest, TheLinesOfADatagramAreWrittenInsideOneBatch) {
    transport.receive(connectionRequest(0x1234567), zone, clock.tick());
    actAsAnEmptyLayer(transport);
    ASSERT_EQ(log.written.size(), 1u);
    EXPECT_EQ(log.written[0].text, "Connection request from 10.0.0.1:5000\n");
    EXPECT_EQ(log.written[0].depth, 1);
    EXPECT_EQ(log.depth, 0);
    EXPECT_EQ(log.batchesEnded, 1);

    // A cluster of two unhandled messages: two lines, one batch.
    Host* host = transport.findHost(zone);
    ASSERT_NE(host, nullptr);
    Bytes datagram = encrypted(host->sessionKey(), reliableDatagram(0, cluster({bytesOf({9, 1}), bytesOf({9, 2, 3})})));
    log.written.clear();
    transport.receive(datagram, zone, clock.tick());
    actAsAnEmptyLayer(transport);
    ASSERT_EQ(log.written.size(), 2u);
    EXPECT_EQ(log.written[0].text, "-1 - Unhandled packet(9)(2)\n");
    EXPECT_EQ(log.written[1].text, "-1 - Unhandled packet(9)(3)\n");
    for (const auto& w : log.written) EXPECT_GE(w.depth, 1) << w.text;
    EXPECT_EQ(log.depth, 0);
    EXPECT_EQ(log.batchesEnded, 2);
}

TEST_F(TransportBatchTest, TheLinesOfAMaintenancePassAreWrittenInsideOneBatch) {
    settings.kickOutDelay = 500;
    PeerAddress second{{10, 0, 0, 2}, 5001};
    transport.receive(connectionRequest(0x1234567), zone, clock.tick());
    actAsAnEmptyLayer(transport);
    transport.receive(connectionRequest(0x1234567), second, clock.tick());
    actAsAnEmptyLayer(transport);
    log.written.clear();
    int before = log.batchesEnded;
    clock.advance(600);
    transport.maintain(clock.tick());
    actAsAnEmptyLayer(transport);
    ASSERT_EQ(log.written.size(), 2u);
    EXPECT_EQ(log.written[0].text, "Session timeout: 10.0.0.1:5000  Punt!\n");
    EXPECT_EQ(log.written[1].text, "Session timeout: 10.0.0.2:5001  Punt!\n");
    for (const auto& w : log.written) EXPECT_EQ(w.depth, 1) << w.text;
    EXPECT_EQ(log.batchesEnded, before + 1);
}

}  // namespace
}  // namespace tallysv::testing
