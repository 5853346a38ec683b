// What probing silent zones costs the server: a network of 200 logged-in
// zones that say nothing, maintained every 50 ms, each zone acknowledging
// what it gets. With ZoneIdleProbe 0 the same passes without probes give
// the baseline.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/core_transport.h"
#include "zoneclient/datagrams.h"
#include "zoneclient/zone_link.h"

namespace {

// The transport driven as the server drives it, by a layer above that has
// nothing to do with the messages.
void receiveAndAct(tallysv::CoreTransport& transport, std::span<const uint8_t> datagram,
                   const tallysv::PeerAddress& from) {
    transport.receive(datagram, from, transport.clock().tick());
    tallysv::TransportEvent event;
    while (transport.nextEvent(event)) {
    }
}
void maintainAndAct(tallysv::CoreTransport& transport) {
    transport.maintain(transport.clock().tick());
    tallysv::TransportEvent event;
    while (transport.nextEvent(event)) {
    }
}

using namespace tallysv;

constexpr int kZones = 200;
constexpr uint32_t kPass = 50;

// Datagrams from the server, kept until the zones read them after the pass.
class QueueSink final : public DatagramSink {
public:
    void send(const PeerAddress& to, std::span<const uint8_t> bytes) override {
        queued.push_back({to, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    }
    std::vector<std::pair<PeerAddress, std::vector<uint8_t>>> queued;
};

void BM_IdleZonesMaintenancePass(benchmark::State& state) {
    FakeClock clock;
    DiscardLog log;
    Settings settings;
    settings.zoneIdleProbe = static_cast<int32_t>(state.range(0));
    QueueSink sink;
    CoreTransport transport(sink, clock, log, settings);
    std::vector<PeerAddress> peers;
    std::vector<std::unique_ptr<zoneclient::ZoneLink>> zones;
    for (int z = 0; z < kZones; ++z) {
        PeerAddress peer{{10, 1, static_cast<uint8_t>(z / 250), static_cast<uint8_t>(z % 250 + 1)}, 5000};
        peers.push_back(peer);
        zones.push_back(std::make_unique<zoneclient::ZoneLink>(
            [&transport, &peers, z](std::span<const uint8_t> d) { receiveAndAct(transport, d, peers[static_cast<size_t>(z)]); },
            1000 + z));
    }
    settings.maxQueueForLogin = kZones;
    for (int z = 0; z < kZones; ++z) {
        zones[static_cast<size_t>(z)]->connect();
        Host& host = *transport.findHost(peers[static_cast<size_t>(z)]);
        transport.markLoggedIn(host);
        host.logNumber = z + 1;
    }
    std::vector<std::pair<PeerAddress, std::vector<uint8_t>>> replies;
    replies.swap(sink.queued);
    for (auto& [to, bytes] : replies) {
        for (int z = 0; z < kZones; ++z) {
            if (peers[static_cast<size_t>(z)] == to) zones[static_cast<size_t>(z)]->receive(bytes, clock.tick());
        }
    }
    const uint64_t sentBefore = transport.counters().datagramsOut;
    uint64_t passes = 0;
    for (auto _ : state) {
        clock.advance(kPass);
        maintainAndAct(transport);
        // The zones answer what the pass sent them (their acknowledgements
        // are received by the server: part of the cost).
        std::vector<std::pair<PeerAddress, std::vector<uint8_t>>> sent;
        sent.swap(sink.queued);
        for (auto& [to, bytes] : sent) {
            const size_t z = static_cast<size_t>(to.address[3]) - 1 + 250 * to.address[2];
            zones[z]->receive(bytes, clock.tick());
        }
        ++passes;
    }
    if (transport.hosts().size() != static_cast<size_t>(kZones)) state.SkipWithError("a zone was dropped");
    const double minutes = static_cast<double>(passes) * kPass / 60000.0;
    state.counters["datagrams_out_per_zone_minute"] =
        static_cast<double>(transport.counters().datagramsOut - sentBefore) / kZones / minutes;
    state.counters["datagrams_in"] = static_cast<double>(transport.counters().datagramsIn);
}
// Twenty minutes of network time, so that each zone is probed 40 times.
BENCHMARK(BM_IdleZonesMaintenancePass)->Arg(0)->Arg(30000)->Iterations(24000);

}  // namespace
