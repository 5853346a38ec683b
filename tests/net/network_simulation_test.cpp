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

class NetworkSimulation : public TransportTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    void everyReliableMessageArrivesOnceAndInOrder();
};

TEST_P(NetworkSimulation, EveryReliableMessageArrivesOnceAndInOrder) { everyReliableMessageArrivesOnceAndInOrder(); }

TEST_P(NetworkSimulation, EveryReliableMessageArrivesOnceAndInOrderWithClusters) {
    settings.clusterToZones = true;
    everyReliableMessageArrivesOnceAndInOrder();
}

void NetworkSimulation::everyReliableMessageArrivesOnceAndInOrder() {
    constexpr int kZones = 3;
    constexpr int kMessages = 150;
    SimulatedNetwork network(GetParam(), 0.15, 0.1);
    std::vector<PeerAddress> peers;
    std::vector<std::unique_ptr<ZoneLink>> zones;
    for (int z = 0; z < kZones; ++z) {
        peers.push_back({{10, 0, 1, static_cast<uint8_t>(z + 1)}, static_cast<uint16_t>(7000 + z)});
        zones.push_back(std::make_unique<ZoneLink>(
            [&network, this, z](std::span<const uint8_t> d) { network.post(true, z, Bytes(d.begin(), d.end()), clock.tick()); },
            1000 + z));
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
            ASSERT_TRUE(transport.sendMessage(host, numbered(0x09, z, n)));
        }
    }

    auto finished = [&] {
        for (int z = 0; z < kZones; ++z) {
            if (atServer[static_cast<size_t>(z)]->size() < kMessages) return false;
            if (zones[static_cast<size_t>(z)]->inbox.size() < kMessages) return false;
        }
        return true;
    };
    for (int step = 0; step < 20000 && !finished(); ++step) {
        clock.advance(10);
        for (const SentDatagram& d : sink.sent) {
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
            transport.maintain();
            for (auto& zone : zones) zone->maintain(clock.tick());
        }
    }
    ASSERT_EQ(transport.hosts().size(), static_cast<size_t>(kZones)) << log.text();
    uint64_t resends = 0;
    for (auto& zone : zones) resends += zone->resends();
    EXPECT_GT(resends, 0u) << "the network lost nothing";
    for (int z = 0; z < kZones; ++z) {
        const auto& received = *atServer[static_cast<size_t>(z)];
        const auto& inbox = zones[static_cast<size_t>(z)]->inbox;
        ASSERT_EQ(received.size(), static_cast<size_t>(kMessages)) << "zone " << z;
        ASSERT_EQ(inbox.size(), static_cast<size_t>(kMessages)) << "zone " << z;
        for (int n = 0; n < kMessages; ++n) {
            EXPECT_EQ(received[static_cast<size_t>(n)], numbered(0x30, z, n));
            EXPECT_EQ(inbox[static_cast<size_t>(n)], numbered(0x09, z, n));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, NetworkSimulation, ::testing::Range(1u, 13u));

}  // namespace
}  // namespace tallysv::testing
