#include "transport_fixture.h"
#include "zoneclient/zone_link.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

TEST_F(TransportTest, WindowOfThreeAndTheFourthWaitsForAnAcknowledgement) {
    Host& host = handshake();
    for (int i = 0; i < 4; ++i) {
        Bytes message = bytesOf({0x09, i});
        EXPECT_TRUE(transport.sendMessage(host, message));
    }
    EXPECT_EQ(reliableNumbersTo(zoneA), (std::vector<int32_t>{0, 1, 2}));
    // The stored datagrams are enciphered; deciphered they carry the message.
    EXPECT_EQ(sentTo(zoneA)[1], reliableDatagram(1, bytesOf({0x09, 1})));

    sink.sent.clear();
    feedSealed(acknowledgement(1));
    EXPECT_EQ(reliableNumbersTo(zoneA), std::vector<int32_t>{3});
    EXPECT_EQ(sentTo(zoneA).back(), reliableDatagram(3, bytesOf({0x09, 3})));
    // Nothing else waits, and the window holds three again.
    EXPECT_EQ(unacknowledged(), (std::vector<int32_t>{0, 2, 3}));
    transport.sendMessage(host, bytesOf({0x09, 4}));
    EXPECT_TRUE(sink.sent.empty());
}

TEST_F(TransportTest, DatagramsArrivingOutOfOrderAreAcknowledgedOnceAndDeliveredInOrder) {
    Host& host = handshake();
    auto& delivered = record(host, 0x30);
    feedReliable(0, bytesOf({0x30, 0}));
    feedReliable(2, bytesOf({0x30, 2}));
    EXPECT_EQ(delivered.size(), 1u);
    feedReliable(1, bytesOf({0x30, 1}));
    EXPECT_EQ(delivered, (std::vector<Bytes>{bytesOf({0x30, 0}), bytesOf({0x30, 1}), bytesOf({0x30, 2})}));
    EXPECT_EQ(acksTo(zoneA), (std::vector<int32_t>{0, 2, 1}));
    // Number 3 is the next: delivered at once, nothing else held.
    feedReliable(3, bytesOf({0x30, 3}));
    EXPECT_EQ(delivered.size(), 4u);
    EXPECT_EQ(delivered.back(), bytesOf({0x30, 3}));
}

TEST_F(TransportTest, DuplicatesAreAcknowledgedAgainAndDeliveredOnce) {
    Host& host = handshake();
    auto& delivered = record(host, 0x30);
    feedReliable(1, bytesOf({0x30, 1}));  // early, held
    feedReliable(1, bytesOf({0x30, 1}));  // the same again: held once
    EXPECT_TRUE(delivered.empty());
    feedReliable(0, bytesOf({0x30, 0}));
    feedReliable(0, bytesOf({0x30, 0}));  // stale
    EXPECT_EQ(delivered, (std::vector<Bytes>{bytesOf({0x30, 0}), bytesOf({0x30, 1})}));
    EXPECT_EQ(acksTo(zoneA), (std::vector<int32_t>{1, 1, 0, 0}));
}

TEST_F(TransportTest, EarlyDatagramsAreHeldOnlyWithinTheHoldWindow) {
    Host& host = handshake();
    auto& delivered = record(host, 0x30);
    record(host, 0x31);
    const int32_t window = 1024;
    feedReliable(window, bytesOf({0x30, 1}));
    feedReliable(window + 1, bytesOf({0x30, 2}));
    EXPECT_EQ(acksTo(zoneA), std::vector<int32_t>{window});
    // Far ahead of the next number nothing is kept, however many arrive.
    for (int32_t s = 0; s < 5000; ++s) feedReliable(window + 2 + s, bytesOf({0x30, 3}));
    EXPECT_EQ(acksTo(zoneA), std::vector<int32_t>{window});
    EXPECT_TRUE(delivered.empty());
    // Once the numbers before it have come, the one held at the edge of the
    // window follows them; none of those beyond was kept.
    sink.sent.clear();
    for (int32_t s = 0; s < window; ++s) feedReliable(s, bytesOf({0x31, 0}));
    EXPECT_EQ(delivered, std::vector<Bytes>{bytesOf({0x30, 1})});
    EXPECT_EQ(acksTo(zoneA).size(), static_cast<size_t>(window));
    feedReliable(window + 2, bytesOf({0x30, 4}));
    EXPECT_EQ(delivered, std::vector<Bytes>{bytesOf({0x30, 1})});
    feedReliable(window + 1, bytesOf({0x30, 2}));
    EXPECT_EQ(delivered, (std::vector<Bytes>{bytesOf({0x30, 1}), bytesOf({0x30, 2}), bytesOf({0x30, 4})}));
    EXPECT_EQ(transport.findHost(zoneA), &host);
}

TEST_F(TransportTest, AcknowledgementFaults) {
    struct Case {
        const char* what;
        Bytes ack;
        const char* line;
    };
    Bytes longAck = acknowledgement(0);
    longAck.push_back(0);
    for (const Case& c : {Case{"number never sent", acknowledgement(5), "Malformed ACK from 10.0.0.1:5000  Punt!"},
                          Case{"seven bytes", longAck, "Malformed ACK from 10.0.0.1  Punt!"}}) {
        Host& host = handshake();
        for (int i = 0; i < 3; ++i) transport.sendMessage(host, bytesOf({0x09, i}));
        feedSealed(c.ack);
        EXPECT_EQ(lastLine(), c.line) << c.what;
        EXPECT_EQ(transport.findHost(zoneA), nullptr) << c.what;
    }
}

TEST_F(TransportTest, DuplicateAcknowledgementIsIgnored) {
    Host& host = handshake();
    transport.sendMessage(host, bytesOf({0x09, 0}));
    transport.sendMessage(host, bytesOf({0x09, 1}));
    feedSealed(acknowledgement(0));
    feedSealed(acknowledgement(0));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(unacknowledged(), std::vector<int32_t>{1});
    EXPECT_EQ(transport.findHost(zoneA), &host);
}

TEST_F(TransportTest, ResendsAtTwiceTheRoundTrip) {
    Host& host = handshake();
    transport.sendMessage(host, bytesOf({0x09, 0}));
    clock.advance(100);
    feedSealed(acknowledgement(0));
    EXPECT_EQ(host.roundTrip, 100u);
    transport.sendMessage(host, bytesOf({0x09, 1}));
    clock.advance(60);
    feedSealed(acknowledgement(1));
    EXPECT_EQ(host.roundTrip, 80u);  // (100 + 60) / 2

    transport.sendMessage(host, bytesOf({0x09, 2}));
    sink.sent.clear();
    clock.advance(159);
    maintain();
    EXPECT_TRUE(sink.sent.empty());
    clock.advance(1);
    maintain();
    EXPECT_EQ(reliableNumbersTo(zoneA), std::vector<int32_t>{2});
}

TEST_F(TransportTest, WithoutARoundTripOrBackOffEveryPassResends) {
    settings.resendBackoff = false;
    Host& host = handshake();
    transport.sendMessage(host, bytesOf({0x09, 0}));
    sink.sent.clear();
    for (int pass = 0; pass < 3; ++pass) {
        clock.advance(50);
        maintain();
    }
    EXPECT_EQ(reliableNumbersTo(zoneA), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(TransportTest, LossLimitCountsTheTimeSpentWaiting) {
    settings.packetLossLimit = 30000;
    Host& host = handshake();
    for (int i = 0; i < 4; ++i) transport.sendMessage(host, bytesOf({0x09, i}));
    // Number 3 waits 20 s for room in the window, then is never acknowledged.
    clock.advance(20000);
    sink.sent.clear();
    for (int s = 0; s < 3; ++s) feedSealed(acknowledgement(s));
    ASSERT_EQ(reliableNumbersTo(zoneA), std::vector<int32_t>{3});
    clock.advance(9999);
    maintain();
    ASSERT_EQ(transport.findHost(zoneA), &host);
    clock.advance(1);
    maintain();
    EXPECT_EQ(lastLine(), "-1 - Connection broken: Reliable packet lost");
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
}

TEST_F(TransportTest, LossLimitUsesTheZonesScoreId) {
    Host& host = handshake();
    host.logNumber = 12;
    transport.markLoggedIn(host);
    transport.sendMessage(host, bytesOf({0x09, 0}));
    clock.advance(static_cast<uint32_t>(settings.packetLossLimit));
    maintain();
    EXPECT_EQ(lastLine(), "12 - Connection broken: Reliable packet lost");
}

TEST_F(TransportTest, AFullQueueShedsSheddableMessagesNeverTheConnection) {
    using Overload = CoreTransport::Overload;
    Host& host = handshake();
    host.logNumber = 3;
    for (size_t i = 0; i < CoreTransport::kWindow + CoreTransport::kMaxWaiting; ++i) {
        ASSERT_TRUE(transport.sendMessage(host, bytesOf({0x09, 1}), true, Overload::Shed));
    }
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(transport.sendMessage(host, bytesOf({0x0A, 1}), true, Overload::Shed));
    EXPECT_TRUE(transport.sendMessage(host, bytesOf({0x08, 1}))) << "kept past the bound";
    EXPECT_EQ(transport.findHost(zoneA), &host);
    EXPECT_EQ(reliableNumbersTo(zoneA), (std::vector<int32_t>{0, 1, 2}));

    // Room for one, then full again: still the same overload.
    int32_t acked = 0;
    feedSealed(acknowledgement(acked++));
    feedSealed(acknowledgement(acked++));
    EXPECT_TRUE(transport.sendMessage(host, bytesOf({0x0A, 2}), true, Overload::Shed));
    EXPECT_FALSE(transport.sendMessage(host, bytesOf({0x0A, 3}), true, Overload::Shed));
    EXPECT_TRUE(log.lines().empty());
    // Every message kept leaves, one per acknowledgement, in order; the
    // number of the one that left last tells how many still wait.
    const int32_t kept = static_cast<int32_t>(CoreTransport::kWindow + CoreTransport::kMaxWaiting) + 2;
    std::vector<Bytes> left;
    auto acknowledgeNext = [&] {
        sink.sent.clear();
        feedSealed(acknowledgement(acked++));
        for (const Bytes& d : sentTo(zoneA)) left.push_back(d);
    };
    auto stillWaiting = [&] { return kept - 1 - readInt32(left.back().data(), 2); };
    acknowledgeNext();  // as many as the bound were waiting; one leaves
    EXPECT_EQ(stillWaiting(), static_cast<int32_t>(CoreTransport::kMaxWaiting) - 1);
    // It ends, with one line, when what waits has fallen to half the bound.
    while (stillWaiting() > static_cast<int32_t>(CoreTransport::kOverloadEnd + 1)) acknowledgeNext();
    EXPECT_TRUE(log.lines().empty());
    acknowledgeNext();
    EXPECT_EQ(stillWaiting(), static_cast<int32_t>(CoreTransport::kOverloadEnd));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"3 - Send queue full: 5 messages shed"});
    while (stillWaiting() > 0) acknowledgeNext();
    const size_t count = left.size();
    ASSERT_GE(count, 2u);
    EXPECT_EQ(left[count - 2], reliableDatagram(kept - 2, bytesOf({0x08, 1})));
    EXPECT_EQ(left[count - 1], reliableDatagram(kept - 1, bytesOf({0x0A, 2})));
    for (size_t i = 0; i + 2 < count; ++i) ASSERT_EQ(left[i], reliableDatagram(readInt32(left[i].data(), 2), bytesOf({0x09, 1})));
}

// With ClusterToZones, what waits leaves packed: as many messages as fit
// one reliable datagram, in order; a message too long for a cluster element
// goes alone, and so does one that waits alone.
TEST_F(TransportTest, WaitingMessagesLeavePackedInClusters) {
    settings.clusterToZones = true;
    Host& host = handshake();
    auto message = [](int n, size_t size) {
        Bytes m(size, static_cast<uint8_t>(n));
        m[0] = 0x09;
        return m;
    };
    for (int i = 0; i < 3; ++i) transport.sendMessage(host, message(i, 20));
    // 46 elements of 11 bytes would need 506 bytes of the 504 a cluster has
    // in a datagram of the 512 bytes a zone reads.
    std::vector<Bytes> first, second;
    for (int i = 0; i < 47; ++i) (i < 45 ? first : second).push_back(message(i, 10));
    second.push_back(message(50, 255));
    const Bytes alone = message(60, 256);
    const Bytes last = message(70, 30);
    for (const auto* group : {&first, &second})
        for (const Bytes& m : *group) transport.sendMessage(host, m);
    transport.sendMessage(host, alone);
    transport.sendMessage(host, last);
    EXPECT_EQ(reliableNumbersTo(zoneA), (std::vector<int32_t>{0, 1, 2}));

    sink.sent.clear();
    for (int32_t s = 0; s < 6; ++s) feedSealed(acknowledgement(s));
    const std::vector<Bytes> expected = {reliableDatagram(3, cluster(first)), reliableDatagram(4, cluster(second)),
                                         reliableDatagram(5, alone), reliableDatagram(6, last)};
    EXPECT_EQ(sentTo(zoneA), expected);
    EXPECT_EQ(sentTo(zoneA)[0].size(), 6u + 2u + 45u * 11u);
    // Nothing more waits.
    feedSealed(acknowledgement(6));
    EXPECT_EQ(unacknowledged(), std::vector<int32_t>{});
}

TEST_F(TransportTest, SyncRequestGetsANineByteReply) {
    handshake();
    clock.setTick(0x12345678);
    feedSealed(syncRequest(0xAABBCCDD));
    auto sent = sentTo(zoneA);
    ASSERT_EQ(sent.size(), 1u);
    uint32_t hundredths = 0x12345678u / 10u;
    EXPECT_EQ(sent[0], bytesOf({0x00, 0x05, 0xDD, 0xCC, 0xBB, 0xAA, static_cast<int>(hundredths & 0xFF),
                                static_cast<int>((hundredths >> 8) & 0xFF), static_cast<int>((hundredths >> 16) & 0xFF)}));
}

TEST_F(TransportTest, MalformedCoreDatagramsRemoveTheHost) {
    struct Case {
        Bytes datagram;
        const char* line;
    };
    Bytes shortSyncResponse = syncResponse(1, 2);
    shortSyncResponse.pop_back();
    for (const Case& c : {Case{bytesOf({0, 3, 0, 0, 0, 0}), "Malformed reliable header from 10.0.0.1  Punt!"},
                          Case{bytesOf({0, 5, 1, 2, 3}), "Malformed sync request from 10.0.0.1  Punt!"},
                          Case{shortSyncResponse, "Malformed sync response from 10.0.0.1  Punt!"},
                          Case{bytesOf({0, 8}), "Malformed small chunk body from 10.0.0.1  Punt!"},
                          Case{bytesOf({0, 9}), "Malformed small chunk tail from 10.0.0.1  Punt!"},
                          Case{bytesOf({0, 10, 1, 0, 0, 0}), "Malformed big chunk from 10.0.0.1  Punt!"},
                          Case{bytesOf({0}), "Malformed special header from 10.0.0.1  Punt!"}}) {
        handshake();
        feedSealed(c.datagram);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
        EXPECT_EQ(transport.findHost(zoneA), nullptr) << c.line;
    }
}

TEST_F(TransportTest, SyncResponseOfTenBytesIsAccepted) {
    handshake();
    feedSealed(syncResponse(1, 2));
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_NE(transport.findHost(zoneA), nullptr);
}

TEST_F(TransportTest, OversizedMessagesAreRefused) {
    Host& host = handshake();
    EXPECT_TRUE(transport.sendMessage(host, Bytes(514, 9)));
    EXPECT_FALSE(transport.sendMessage(host, Bytes(515, 9)));
    EXPECT_TRUE(transport.sendMessage(host, Bytes(520, 9), false));
    EXPECT_FALSE(transport.sendMessage(host, Bytes(521, 9), false));
    EXPECT_EQ(reliableNumbersTo(zoneA), std::vector<int32_t>{0});
}

// The zone side of the library against the server side, both enciphering:
// every message in both directions arrives once and in order.
TEST_F(TransportTest, ZoneLinkExchangesReliableMessagesBothWays) {
    std::vector<Bytes> toServer;
    ZoneLink zone([&](std::span<const uint8_t> d) { toServer.emplace_back(d.begin(), d.end()); }, kClientKey);
    auto pump = [&] {
        for (int round = 0; round < 20; ++round) {
            auto batch = std::move(toServer);
            toServer.clear();
            for (const Bytes& d : batch) feed(d);
            auto replies = std::move(sink.sent);
            sink.sent.clear();
            for (const SentDatagram& d : replies) zone.receive(d.bytes, clock.tick());
            if (toServer.empty()) break;
        }
    };
    zone.connect();
    pump();
    ASSERT_TRUE(zone.connected());
    Host& host = *transport.findHost(zoneA);
    auto& delivered = record(host, 0x31);
    for (int i = 0; i < 10; ++i) zone.sendReliable(bytesOf({0x31, i}), clock.tick());
    for (int i = 0; i < 10; ++i) transport.sendMessage(host, bytesOf({0x09, i, 0}));
    pump();
    ASSERT_EQ(delivered.size(), 10u);
    ASSERT_EQ(zone.inbox.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(delivered[static_cast<size_t>(i)], bytesOf({0x31, i}));
        EXPECT_EQ(zone.inbox[static_cast<size_t>(i)], bytesOf({0x09, i, 0}));
    }
    EXPECT_EQ(zone.acknowledged(), 10u);
    // Every datagram of the server's has been acknowledged.
    EXPECT_TRUE(unacknowledged().empty());
}

}  // namespace
}  // namespace tallysv::testing
