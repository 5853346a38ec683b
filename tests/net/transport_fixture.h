#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
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
// helpers that play the zone's part with the zone client library.
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

    void feed(const Bytes& datagram, const PeerAddress& from) { transport.receive(datagram, from); }
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
        transport.maintain();
        std::vector<int32_t> out = reliableNumbersTo(peer);
        sink.sent.clear();
        return out;
    }
    std::vector<int32_t> unacknowledged() { return unacknowledgedTo(zoneA); }

    // Installs a handler for a message type that records each message.
    std::vector<Bytes>& record(Host& host, uint8_t type) {
        auto& store = recorded_[{&host, type}];
        transport.setMessageHandler(host, type, [&store](InboundMessage& m) {
            store.emplace_back(m.bytes.begin(), m.bytes.begin() + m.length);
            return true;
        });
        return store;
    }

    std::string lastLine() const {
        auto lines = log.lines();
        return lines.empty() ? std::string() : lines.back();
    }

private:
    std::map<std::pair<Host*, uint8_t>, std::vector<Bytes>> recorded_;
};

inline Bytes bytesOf(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values) b.push_back(static_cast<uint8_t>(v));
    return b;
}

}  // namespace tallysv::testing
