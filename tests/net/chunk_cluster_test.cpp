#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

TEST_F(TransportTest, SmallChunksMakeOneMessageInArrivalOrder) {
    Host& host = handshake();
    auto& delivered = record(host, 0x30);
    feedReliable(0, smallChunkBody(bytesOf({0x30, 1})));
    feedReliable(1, smallChunkBody(bytesOf({2, 3})));
    EXPECT_TRUE(delivered.empty());
    feedReliable(2, smallChunkTail(bytesOf({4})));
    EXPECT_EQ(delivered, std::vector<Bytes>{bytesOf({0x30, 1, 2, 3, 4})});
    EXPECT_TRUE(host.smallChunkBuffer.empty());
    // A tail on its own is a whole message, also sent unreliably.
    feedSealed(smallChunkTail(bytesOf({0x30, 9})));
    EXPECT_EQ(delivered.back(), bytesOf({0x30, 9}));
}

TEST_F(TransportTest, BigChunksCompleteWhenTheirBytesEqualTheTotal) {
    struct Case {
        int32_t total;
        bool dispatched;
    };
    for (const Case& c : {Case{600, true}, Case{500, false}}) {
        Host& host = handshake();
        auto& delivered = record(host, 0x30);
        delivered.clear();
        Bytes message(600, 0x55);
        message[0] = 0x30;
        for (int part = 0; part < 3; ++part) {
            Bytes piece(message.begin() + part * 200, message.begin() + (part + 1) * 200);
            feedReliable(part, bigChunk(c.total, piece));
            if (part < 2) {
                EXPECT_TRUE(delivered.empty());
            }
        }
        if (c.dispatched) {
            EXPECT_EQ(delivered, std::vector<Bytes>{message});
            EXPECT_TRUE(host.bigChunkBuffer.empty());
        } else {
            EXPECT_TRUE(delivered.empty());
            EXPECT_EQ(host.bigChunkBuffer.size(), 600u);
        }
        feedSealed(disconnectNotice());
    }
}

TEST_F(TransportTest, ReassemblyPast32767BytesIsAMalformedChunk) {
    struct Case {
        bool big;
        const char* line;
    };
    for (const Case& c : {Case{true, "Malformed big chunk from 10.0.0.1  Punt!"},
                          Case{false, "Malformed small chunk body from 10.0.0.1  Punt!"}}) {
        handshake();
        Bytes piece(500, 0x30);
        // 65 pieces of 500 bytes fill 32500; the 66th would pass 32767.
        for (int i = 0; i < 65; ++i) feedSealed(c.big ? bigChunk(40000, piece) : smallChunkBody(piece));
        EXPECT_TRUE(log.lines().empty()) << c.line;
        feedSealed(c.big ? bigChunk(40000, piece) : smallChunkBody(piece));
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
        EXPECT_EQ(transport.findHost(zoneA), nullptr);
    }
}

TEST_F(TransportTest, LargestReassembledMessageIsDispatched) {
    Host& host = handshake();
    auto& delivered = record(host, 0x30);
    Bytes message(32767, 0x30);
    for (const Bytes& d : bigChunks(message, 500)) feedSealed(d);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].size(), 32767u);
}

TEST_F(TransportTest, ClusterElementsAreDispatchedOneByOne) {
    Host& host = handshake();
    auto& a = record(host, 0x30);
    auto& b = record(host, 0x31);
    Bytes c = cluster({bytesOf({0x30, 1, 2}), bytesOf({0x31, 3, 4, 5})});
    ASSERT_EQ(c.size(), 11u);
    feedReliable(0, c);
    EXPECT_EQ(a, std::vector<Bytes>{bytesOf({0x30, 1, 2})});
    EXPECT_EQ(b, std::vector<Bytes>{bytesOf({0x31, 3, 4, 5})});

    // An element may itself be a reliable datagram.
    feedSealed(cluster({reliableDatagram(1, bytesOf({0x30, 7})), bytesOf({0x31, 8})}));
    EXPECT_EQ(a.back(), bytesOf({0x30, 7}));
    EXPECT_EQ(b.back(), bytesOf({0x31, 8}));
    EXPECT_EQ(acksTo(zoneA), (std::vector<int32_t>{0, 1}));

    // A cluster with no elements does nothing.
    size_t before = a.size() + b.size();
    feedSealed(bytesOf({0x00, 0x0E}));
    EXPECT_EQ(a.size() + b.size(), before);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(TransportTest, MalformedClusterElementEndsTheHostAfterTheEarlierOnes) {
    struct Case {
        int secondLength;
    };
    for (const Case& c : {Case{5}, Case{0}}) {
        Host& host = handshake();
        auto& a = record(host, 0x30);
        a.clear();
        Bytes bad = cluster({bytesOf({0x30, 1, 2}), bytesOf({0x31, 3, 4, 5})});
        bad[6] = static_cast<uint8_t>(c.secondLength);
        feedSealed(bad);
        EXPECT_EQ(a, std::vector<Bytes>{bytesOf({0x30, 1, 2})});
        EXPECT_EQ(log.lines(), std::vector<std::string>{"Malformed cluster from 10.0.0.1  Punt!"});
        EXPECT_EQ(transport.findHost(zoneA), nullptr);
    }
}

TEST_F(TransportTest, DeeplyNestedMessagesAreDroppedPastTheNestingLimit) {
    Host& host = handshake();
    auto& delivered = record(host, 0x30);
    // A reliable datagram inside a reliable datagram ... carries a message
    // only as deep as the limit allows. Sequence number 0 each time: the
    // inner ones are delivered before the outer ones move the counter on.
    auto nested = [](int depth) {
        Bytes d = bytesOf({0x30, 1});
        for (int i = 0; i < depth; ++i) d = reliableDatagram(0, d);
        return d;
    };
    feedSealed(nested(CoreTransport::kMaxNesting - 1));
    EXPECT_EQ(delivered.size(), 1u);
    handshake(zoneB);
    Host& other = *transport.findHost(zoneB);
    auto& deep = record(other, 0x30);
    Bytes tooDeep = nested(CoreTransport::kMaxNesting);
    feedSealed(tooDeep, zoneB);
    EXPECT_TRUE(deep.empty());
    EXPECT_EQ(transport.findHost(zoneB), &other);
}

}  // namespace
}  // namespace tallysv::testing
