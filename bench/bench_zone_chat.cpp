// Chat lines per second that reach one zone acknowledging after 10 ms, with
// ClusterToZones off (argument 0) and on (1). Players of a second zone talk
// in a channel whose one other member sits in the slow zone; the talkers
// keep about a thousand lines waiting for it, never reaching the bound, so
// nothing is shed and the figure is what the slow zone can take.
//
// Time is the fake clock: one iteration is one simulated second of the
// network in 1 ms steps, with a maintenance pass every 50 ms. The counter
// lines_per_s is lines delivered per simulated second; the time per
// iteration is what simulating that second costs the server and the zones.
#include <benchmark/benchmark.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "commands/server_core.h"
#include "net/core_transport.h"
#include "zone/zone_protocol.h"
#include "zone/zone_session.h"
#include "zoneclient/messages.h"
#include "zoneclient/zone_link.h"

namespace {

using namespace tallysv;
using zoneclient::Bytes;

constexpr uint32_t kAckDelay = 10;
constexpr size_t kKeepWaiting = 1000;

class ChatNetwork final : public DatagramSink {
public:
    explicit ChatNetwork(bool clusters) {
        settings.allowNewUsers = true;
        settings.askNewUsers = false;
        settings.clusterToZones = clusters;
        for (Zone* zone : {&slow, &talk}) {
            zone->link.connect();
            settle();
            zone->link.sendReliable(zoneclient::zoneLogin(1, zone->scoreId, "Zone" + std::to_string(zone->scoreId), ""),
                                    clock.tick());
            settle();
        }
        login(slow, "Listener", 1);
        login(talk, "Talker", 1);
        for (Zone* zone : {&slow, &talk})
            zones.joinChannel(*zoneSession(host(*zone)).findPlayer(1), "Trade", 1, false);
        slow.link.inbox.clear();
    }

    void send(const PeerAddress& to, std::span<const uint8_t> bytes) override {
        (to == slow.peer ? slow : talk).fromServer.emplace_back(bytes.begin(), bytes.end());
    }

    // One millisecond: the talkers top up what waits for the slow zone,
    // then datagrams move; the slow zone's reach the server kAckDelay ms
    // after it sent them. Returns the chat lines the slow zone got.
    size_t step() {
        clock.advance(1);
        Host& listener = host(slow);
        while (listener.waiting.size() < kKeepWaiting) {
            talk.link.sendUnreliable(zoneclient::chat(1, '1', "line " + std::to_string(++said) + " of the talk"));
            deliver(talk);
        }
        while (!inTransit.empty() && static_cast<int32_t>(clock.tick() - inTransit.front().first) >= 0) {
            core.receive(inTransit.front().second, slow.peer);
            inTransit.pop_front();
        }
        if (clock.tick() % 50 == 0) core.maintain();
        deliver(slow);
        deliver(talk);
        for (Bytes& d : slow.toServer) inTransit.emplace_back(clock.tick() + kAckDelay, std::move(d));
        slow.toServer.clear();
        size_t lines = 0;
        for (const Bytes& m : slow.link.inbox) lines += !m.empty() && m[0] == 10;
        slow.link.inbox.clear();
        talk.link.inbox.clear();
        return lines;
    }

    FakeClock clock{1000, 1100000000};
    DiscardLog log;
    Settings settings;
    Database database{settings, clock, log, ""};
    ServerCore core{*this, settings, database, clock, log};
    CoreTransport& transport = core.transport;
    ZoneProtocol& zones = core.zones;

private:
    struct Zone {
        Zone(PeerAddress peer, int32_t scoreId)
            : peer(peer), scoreId(scoreId),
              link([this](std::span<const uint8_t> d) { toServer.emplace_back(d.begin(), d.end()); }, 4000 + scoreId) {}
        PeerAddress peer;
        int32_t scoreId;
        std::deque<Bytes> toServer;
        std::deque<Bytes> fromServer;
        zoneclient::ZoneLink link;
    };

    Host& host(const Zone& zone) { return *transport.findHost(zone.peer); }

    // Hands the zone what the server sent it, and the server what the zone sent.
    void deliver(Zone& zone) {
        while (!zone.fromServer.empty() || (&zone == &talk && !zone.toServer.empty())) {
            while (!zone.fromServer.empty()) {
                Bytes d = std::move(zone.fromServer.front());
                zone.fromServer.pop_front();
                zone.link.receive(d, clock.tick());
            }
            if (&zone != &talk) break;
            while (!zone.toServer.empty()) {
                Bytes d = std::move(zone.toServer.front());
                zone.toServer.pop_front();
                core.receive(d, zone.peer);
            }
        }
    }

    // Without delay, for the set-up.
    void settle() {
        for (int round = 0; round < 100; ++round) {
            for (Zone* zone : {&slow, &talk}) {
                while (!zone->toServer.empty()) {
                    core.receive(zone->toServer.front(), zone->peer);
                    zone->toServer.pop_front();
                }
                while (!zone->fromServer.empty()) {
                    zone->link.receive(zone->fromServer.front(), clock.tick());
                    zone->fromServer.pop_front();
                }
            }
        }
    }

    void login(Zone& zone, const std::string& name, uint32_t id) {
        zoneclient::PlayerLogin request;
        request.name = name;
        request.password = "password";
        request.playerId = id;
        request.address = {172, 16, 0, static_cast<uint8_t>(zone.scoreId)};
        zone.link.sendReliable(zoneclient::playerLogin(request), clock.tick());
        settle();
    }

    Zone slow{{{10, 200, 0, 1}, 7000}, 1};
    Zone talk{{{10, 200, 0, 2}, 7001}, 2};
    std::deque<std::pair<uint32_t, Bytes>> inTransit;
    size_t said = 0;
};

void BM_ChatToASlowZone(benchmark::State& state) {
    ChatNetwork network(state.range(0) != 0);
    // A simulated second to fill the pipe before counting.
    for (int ms = 0; ms < 1000; ++ms) network.step();
    size_t lines = 0;
    for (auto _ : state) {
        for (int ms = 0; ms < 1000; ++ms) lines += network.step();
    }
    if (network.transport.hosts().size() != 2) state.SkipWithError("a zone was disconnected");
    state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ChatToASlowZone)->ArgName("clusters")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
