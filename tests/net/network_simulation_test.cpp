#include <algorithm>
#include <random>

#include "support/simulated_network.h"
#include "transport_fixture.h"
#include "zoneclient/zone_link.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

Bytes numbered(uint8_t type, int zone, int n) {
    Bytes m = {type, static_cast<uint8_t>(zone), 0, 0, 0, 0};
    writeInt32(m.data(), 2, n);
    return m;
}

// A numbered message made as long as given: the number, then filler.
Bytes numbered(uint8_t type, int zone, int n, size_t length) {
    Bytes m = numbered(type, zone, n);
    for (size_t i = m.size(); i < length; ++i) m.push_back(static_cast<uint8_t>(n + static_cast<int>(i)));
    return m;
}

// What a run sends to the zones: short numbered messages, or messages of
// lengths spread from 6 to 506 bytes, through zones that read at most
// `readLimit` bytes of a datagram (0: all of it).
struct Traffic {
    bool mixedLengths = false;
    size_t readLimit = 0;
};

class NetworkSimulation : public TransportTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    void everyReliableMessageArrivesOnceAndInOrder(Traffic traffic = {});
};

TEST_P(NetworkSimulation, EveryReliableMessageArrivesOnceAndInOrder) { everyReliableMessageArrivesOnceAndInOrder(); }

TEST_P(NetworkSimulation, EveryReliableMessageArrivesOnceAndInOrderWithClusters) {
    settings.clusterToZones = true;
    everyReliableMessageArrivesOnceAndInOrder();
}

// Zones read 512 bytes of each datagram; with clusters, messages of every
// length that fits such a datagram still arrive whole, since no cluster is
// longer.
TEST_P(NetworkSimulation, EveryMessageThatFitsA512ByteReadArrivesWithClusters) {
    settings.clusterToZones = true;
    everyReliableMessageArrivesOnceAndInOrder({.mixedLengths = true, .readLimit = 512});
}

void NetworkSimulation::everyReliableMessageArrivesOnceAndInOrder(Traffic traffic) {
    constexpr int kZones = 3;
    constexpr int kMessages = 150;
    // Every third message is long, of one of the 501 lengths from 6 to the
    // 506 bytes that fit one datagram a zone reads whole (97 is prime to
    // 501, so they differ); the short ones between fill clusters to every
    // total.
    auto toZone = [&](int z, int n) {
        if (!traffic.mixedLengths) return numbered(0x09, z, n);
        const int k = z * kMessages + n;
        return numbered(0x09, z, n, 6 + static_cast<size_t>(k % 3 ? k * 13 % 60 : k * 97 % 501));
    };
    SimulatedNetwork network(GetParam(), 0.15, 0.1);
    std::vector<PeerAddress> peers;
    std::vector<std::unique_ptr<ZoneLink>> zones;
    ZoneLink::Options options;
    options.readLimit = traffic.readLimit;
    for (int z = 0; z < kZones; ++z) {
        peers.push_back({{10, 0, 1, static_cast<uint8_t>(z + 1)}, static_cast<uint16_t>(7000 + z)});
        zones.push_back(std::make_unique<ZoneLink>(
            [&network, this, z](std::span<const uint8_t> d) { network.post(true, z, Bytes(d.begin(), d.end()), clock.tick()); },
            1000 + z, options));
    }
    // The handshake, without losses, so each zone has its host and key.
    for (int z = 0; z < kZones; ++z) {
        feed(connectionRequest(1000 + z), peers[static_cast<size_t>(z)]);
        zones[static_cast<size_t>(z)]->receive(sink.sent.back().bytes, clock.tick());
        ASSERT_TRUE(zones[static_cast<size_t>(z)]->connected());
    }
    sink.sent.clear();

    std::vector<std::vector<Bytes>*> atServer;
    for (int z = 0; z < kZones; ++z) {
        Host& host = *transport.findHost(peers[static_cast<size_t>(z)]);
        atServer.push_back(&record(host, 0x30));
        for (int n = 0; n < kMessages; ++n) {
            ASSERT_TRUE(zones[static_cast<size_t>(z)]->sendReliable(numbered(0x30, z, n), clock.tick()));
            ASSERT_TRUE(transport.sendMessage(host, toZone(z, n)));
        }
    }

    auto finished = [&] {
        for (int z = 0; z < kZones; ++z) {
            if (atServer[static_cast<size_t>(z)]->size() < kMessages) return false;
            if (zones[static_cast<size_t>(z)]->inbox.size() < kMessages) return false;
        }
        return true;
    };
    size_t longest = 0;
    for (int step = 0; step < 20000 && !finished(); ++step) {
        clock.advance(10);
        for (const SentDatagram& d : sink.sent) {
            longest = std::max(longest, d.bytes.size());
            for (int z = 0; z < kZones; ++z) {
                if (d.to == peers[static_cast<size_t>(z)]) network.post(false, z, d.bytes, clock.tick());
            }
        }
        sink.sent.clear();
        network.deliverDue(clock.tick(), [&](bool toServer, int z, const Bytes& bytes) {
            if (toServer) {
                feed(bytes, peers[static_cast<size_t>(z)]);
            } else {
                zones[static_cast<size_t>(z)]->receive(bytes, clock.tick());
            }
        });
        if (step % 5 == 0) {
            maintain();
            for (auto& zone : zones) zone->maintain(clock.tick());
        }
    }
    ASSERT_EQ(transport.hosts().size(), static_cast<size_t>(kZones)) << log.text();
    uint64_t resends = 0;
    for (auto& zone : zones) resends += zone->resends();
    EXPECT_GT(resends, 0u) << "the network lost nothing";
    if (traffic.readLimit > 0) {
        EXPECT_LE(longest, traffic.readLimit);
    }
    for (int z = 0; z < kZones; ++z) {
        const auto& received = *atServer[static_cast<size_t>(z)];
        const auto& inbox = zones[static_cast<size_t>(z)]->inbox;
        ASSERT_EQ(received.size(), static_cast<size_t>(kMessages)) << "zone " << z;
        ASSERT_EQ(inbox.size(), static_cast<size_t>(kMessages)) << "zone " << z;
        EXPECT_EQ(zones[static_cast<size_t>(z)]->cutDatagrams(), 0u) << "zone " << z;
        for (int n = 0; n < kMessages; ++n) {
            EXPECT_EQ(received[static_cast<size_t>(n)], numbered(0x30, z, n));
            EXPECT_EQ(inbox[static_cast<size_t>(n)], toZone(z, n));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, NetworkSimulation, ::testing::Range(1u, 13u));

}  // namespace
}  // namespace tallysv::testing
