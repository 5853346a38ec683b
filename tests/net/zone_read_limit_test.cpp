#include <algorithm>
#include <random>

#include "transport_fixture.h"
#include "zoneclient/zone_link.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

// Zones read each datagram from the server into a 512-byte buffer; of a
// longer one they keep the first 512 bytes and say nothing.
constexpr size_t kZoneBuffer = 512;
// The longest chat line: its 512-byte buffer, header and NUL included.
constexpr size_t kLongestChatLine = 512;

// A chat line of the given length whose bytes tell it from every other.
Bytes chatLine(size_t length, int number) {
    Bytes m(length);
    m[0] = 0x0A;
    for (size_t i = 1; i < length; ++i) m[i] = static_cast<uint8_t>(number * 7 + static_cast<int>(i));
    return m;
}

enum class Order { Ascending, Descending, Shuffled };

// Messages of every length from 1 byte to the longest chat line.
std::vector<Bytes> everyLength(Order order) {
    std::vector<size_t> lengths;
    for (size_t n = 1; n <= kLongestChatLine; ++n) lengths.push_back(n);
    if (order == Order::Descending) std::reverse(lengths.begin(), lengths.end());
    if (order == Order::Shuffled) std::shuffle(lengths.begin(), lengths.end(), std::mt19937(29));
    std::vector<Bytes> messages;
    for (size_t i = 0; i < lengths.size(); ++i) messages.push_back(chatLine(lengths[i], static_cast<int>(i)));
    return messages;
}

class ZoneReadLimit : public TransportTest {
protected:
    // Connects a zone that reads 512 bytes of each datagram, queues the
    // messages for it at once (all but the first three wait behind the
    // window) and plays the zone until nothing more comes. Returns the
    // datagrams the server sent, deciphered.
    std::vector<Bytes> deliver(const std::vector<Bytes>& messages) {
        ZoneLink::Options options;
        options.readLimit = kZoneBuffer;
        link = std::make_unique<ZoneLink>(
            [this](std::span<const uint8_t> d) { toServer.emplace_back(d.begin(), d.end()); }, kClientKey, options);
        feed(connectionRequest(kClientKey));
        link->receive(sink.sent.back().bytes, clock.tick());
        EXPECT_TRUE(link->connected());
        sink.sent.clear();
        Host& host = *transport.findHost(zoneA);
        for (const Bytes& m : messages) EXPECT_TRUE(transport.sendMessage(host, m));

        std::vector<Bytes> sent;
        while (!sink.sent.empty()) {
            std::vector<SentDatagram> batch;
            batch.swap(sink.sent);
            for (const SentDatagram& d : batch) {
                sent.push_back(decrypted(keyOf(zoneA), d.bytes));
                link->receive(d.bytes, clock.tick());
            }
            clock.advance(10);
            for (const Bytes& d : toServer) feed(d);
            toServer.clear();
        }
        // Everything the zone was sent is acknowledged: a pass resends nothing.
        clock.advance(1000);
        maintain();
        EXPECT_TRUE(sink.sent.empty());
        return sent;
    }

    std::unique_ptr<ZoneLink> link;
    // What the zone sent, until it is fed to the server.
    std::vector<Bytes> toServer;
};

// What a zone that reads 512 bytes of a datagram gets of a message sent
// alone: all of it when it fits, else the first 506 bytes.
Bytes asRead(const Bytes& message) {
    const size_t kept = std::min(message.size(), kZoneBuffer - 6);
    return Bytes(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(kept));
}

// With ClusterToZones the clusters fit the zone's buffer: every message
// that fits a datagram it reads (up to 506 bytes) arrives whole, once and
// in order, whatever the order of lengths in the queue. The six longer ones
// (507 to 512 bytes) go alone in their own datagrams as without clusters,
// and the zone gets them cut as ever; they take no other message with them.
TEST_F(ZoneReadLimit, WithClustersEveryMessageThatFitsArrivesWholeAndInOrder) {
    settings.clusterToZones = true;
    for (Order order : {Order::Ascending, Order::Descending, Order::Shuffled}) {
        SCOPED_TRACE(static_cast<int>(order));
        sink.sent.clear();
        const std::vector<Bytes> messages = everyLength(order);
        const std::vector<Bytes> sent = deliver(messages);
        std::vector<Bytes> alone;
        size_t longestCluster = 0;
        for (const Bytes& d : sent) {
            if (d.size() > kZoneBuffer) alone.push_back(Bytes(d.begin() + 6, d.end()));
            if (d.size() > 7 && d[6] == 0x00 && d[7] == 0x0E) longestCluster = std::max(longestCluster, d.size());
        }
        std::vector<Bytes> tooLong;
        for (const Bytes& m : messages) {
            if (m.size() > kZoneBuffer - 6) tooLong.push_back(m);
        }
        EXPECT_EQ(alone, tooLong);
        // Clusters are filled close to the buffer, not merely kept short.
        EXPECT_LE(longestCluster, kZoneBuffer);
        EXPECT_GE(longestCluster, kZoneBuffer - 16);
        EXPECT_LT(sent.size(), messages.size());
        EXPECT_EQ(link->cutDatagrams(), tooLong.size());
        std::vector<Bytes> expected;
        for (const Bytes& m : messages) expected.push_back(asRead(m));
        EXPECT_EQ(std::vector<Bytes>(link->inbox.begin(), link->inbox.end()), expected);
        closeZone(*transport.findHost(zoneA));
    }
}

// Without ClusterToZones each message keeps its own reliable datagram,
// byte for byte as ever; the six longest exceed the zone's buffer and
// reach it cut by the bytes past 512.
TEST_F(ZoneReadLimit, WithoutClustersEachMessageKeepsItsOwnDatagram) {
    const std::vector<Bytes> messages = everyLength(Order::Ascending);
    const std::vector<Bytes> sent = deliver(messages);
    std::vector<Bytes> expected;
    for (size_t i = 0; i < messages.size(); ++i)
        expected.push_back(reliableDatagram(static_cast<int32_t>(i), messages[i]));
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(link->cutDatagrams(), 6u);
    ASSERT_EQ(link->inbox.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) EXPECT_EQ(link->inbox[i], asRead(messages[i]));
}

}  // namespace
}  // namespace tallysv::testing
