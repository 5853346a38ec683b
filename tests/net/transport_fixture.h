#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/clock.h"
#include "core/fields.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/core_transport.h"
#include "zoneclient/datagrams.h"
#include "zoneclient/messages.h"

namespace tallysv::testing {

using zoneclient::Bytes;

struct SentDatagram {
    PeerAddress to;
    Bytes bytes;
};

class RecordingSink final : public DatagramSink {
public:
    void send(const PeerAddress& to, std::span<const uint8_t> bytes) override {
        sent.push_back({to, Bytes(bytes.begin(), bytes.end())});
    }
    std::vector<SentDatagram> sent;
};

// A transport with a fake clock, a recording log and a recording sink, and
// helpers that play the zone's part with the zone client library. The
// fixture is the layer above: it acts on the transport's events after each
// call returns, recording messages of the types asked for, reporting the
// others as unhandled, and running the hooks a test sets for session ends,
// host passes and flood decays.
class TransportTest : public ::testing::Test {
protected:
    TransportTest() : transport(sink, clock, log, settings) {}

    static constexpr int32_t kClientKey = 0x1234567;

    FakeClock clock{1000};
    RecordingLog log;
    Settings settings;
    RecordingSink sink;
    CoreTransport transport;
    PeerAddress zoneA{{10, 0, 0, 1}, 5000};
    PeerAddress zoneB{{10, 0, 0, 2}, 5001};

    void feed(const Bytes& datagram, const PeerAddress& from) {
        transport.receive(datagram, from, clock.tick());
        actOnEvents();
    }
    void maintain() {
        transport.maintain(clock.tick());
        actOnEvents();
    }
    void actOnEvents() {
        TransportEvent event;
        while (transport.nextEvent(event)) actOn(event);
    }
    void actOn(const TransportEvent& event) {
        switch (event.kind) {
            case TransportEvent::Kind::Message: {
                const InboundMessage& m = *event.message;
                auto found = recorded_.find(recordKey(*event.host, m.bytes[0]));
                if (found != recorded_.end()) {
                    found->second.emplace_back(m.bytes.begin(), m.bytes.begin() + m.length);
                } else if (onMessage) {
                    onMessage(*event.message);
                } else {
                    transport.reportUnhandled(m);
                }
                break;
            }
            case TransportEvent::Kind::Closed:
                closeReasons.push_back(event.reason);
                if (event.host->logNumber != -1 && sessionEnd_) sessionEnd_(*event.host);
                break;
            case TransportEvent::Kind::HostPass:
                if (kickCheck_) kickCheck_(*event.host);
                break;
            case TransportEvent::Kind::FloodDecay:
                if (floodDecay_) floodDecay_();
                break;
            case TransportEvent::Kind::Connected:
                ++connectedEvents;
                break;
        }
    }
    // The layer above closes a host: the notice, then its session's end.
    void closeZone(Host& host) {
        if (transport.disconnectHost(host) && host.logNumber != -1 && sessionEnd_) sessionEnd_(host);
    }
    void setSessionEnd(std::function<void(Host&)> end) { sessionEnd_ = std::move(end); }
    void setKickCheck(std::function<void(Host&)> check) { kickCheck_ = std::move(check); }
    void setFloodDecay(std::function<void()> decay) { floodDecay_ = std::move(decay); }
    // Messages of types not recorded, when set; else they are unhandled.
    std::function<void(InboundMessage&)> onMessage;
    std::vector<CloseReason> closeReasons;
    int connectedEvents = 0;
    void feed(const Bytes& datagram) { feed(datagram, zoneA); }

    // The key the server answered with for this peer (0 without encryption).
    int32_t keyOf(const PeerAddress& peer) const {
        Host* host = transport.findHost(peer);
        return host ? host->sessionKey() : 0;
    }

    // Completes the handshake and forgets what it sent and printed.
    Host& handshake(const PeerAddress& peer) {
        feed(zoneclient::connectionRequest(kClientKey), peer);
        Host* host = transport.findHost(peer);
        EXPECT_NE(host, nullptr);
        sink.sent.clear();
        log.clear();
        return *host;
    }
    Host& handshake() { return handshake(zoneA); }

    // Sends a datagram as the zone does after the handshake: enciphered.
    void feedSealed(const Bytes& datagram, const PeerAddress& from) {
        feed(zoneclient::encrypted(keyOf(from), datagram), from);
    }
    void feedSealed(const Bytes& datagram) { feedSealed(datagram, zoneA); }
    void feedReliable(int32_t sequence, const Bytes& payload, const PeerAddress& from) {
        feedSealed(zoneclient::reliableDatagram(sequence, payload), from);
    }
    void feedReliable(int32_t sequence, const Bytes& payload) { feedReliable(sequence, payload, zoneA); }

    // What the server sent to a peer, deciphered with the given key.
    std::vector<Bytes> sentTo(const PeerAddress& peer, int32_t key) const {
        std::vector<Bytes> out;
        for (const SentDatagram& d : sink.sent) {
            if (d.to == peer) out.push_back(zoneclient::decrypted(key, d.bytes));
        }
        return out;
    }
    std::vector<Bytes> sentTo(const PeerAddress& peer) const { return sentTo(peer, keyOf(peer)); }

    // Sequence numbers of the acknowledgements sent to a peer.
    std::vector<int32_t> acksTo(const PeerAddress& peer) const {
        std::vector<int32_t> out;
        for (const Bytes& d : sentTo(peer)) {
            if (d.size() == 6 && d[0] == 0 && d[1] == 4) out.push_back(readInt32(d.data(), 2));
        }
        return out;
    }

    // Sequence numbers of the reliable datagrams sent to a peer, in order.
    std::vector<int32_t> reliableNumbersTo(const PeerAddress& peer) const {
        std::vector<int32_t> out;
        for (const Bytes& d : sentTo(peer)) {
            if (d.size() > 6 && d[0] == 0 && d[1] == 3) out.push_back(readInt32(d.data(), 2));
        }
        return out;
    }

    // The reliable datagrams to a peer that await its acknowledgement, as
    // a maintenance pass now sends them again (with no round trip measured
    // and no back-off begun, each of them goes again on the next pass).
    // Forgets what was sent before.
    std::vector<int32_t> unacknowledgedTo(const PeerAddress& peer) {
        sink.sent.clear();
        maintain();
        std::vector<int32_t> out = reliableNumbersTo(peer);
        sink.sent.clear();
        return out;
    }
    std::vector<int32_t> unacknowledged() { return unacknowledgedTo(zoneA); }

    // Records each message of a type from the host from now on.
    std::vector<Bytes>& record(Host& host, uint8_t type) { return recorded_[recordKey(host, type)]; }

    std::string lastLine() const {
        auto lines = log.lines();
        return lines.empty() ? std::string() : lines.back();
    }

private:
    using RecordKey = std::tuple<uint32_t, uint32_t, uint8_t>;
    static RecordKey recordKey(const Host& host, uint8_t type) { return {host.id.index, host.id.generation, type}; }
    std::map<RecordKey, std::vector<Bytes>> recorded_;
    std::function<void(Host&)> sessionEnd_;
    std::function<void(Host&)> kickCheck_;
    std::function<void()> floodDecay_;
};

inline Bytes bytesOf(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values) b.push_back(static_cast<uint8_t>(v));
    return b;
}

}  // namespace tallysv::testing
