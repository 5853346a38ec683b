// Feeds arbitrary sequences of datagrams from a few source addresses into
// the transport, with the clock moving and maintenance passes between them,
// and with an upper layer that acts on the events: it sends, logs in and
// disconnects.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/core_transport.h"
#include "fuzz_support.h"

namespace {

using namespace tallysv;
using namespace tallysv::fuzzing;

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<uint8_t> bytes(size_t n) {
        size_t take = n < size_ - at_ ? n : size_ - at_;
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + take);
        at_ += take;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// What lives from one input to the next: before each input the clock is
// set, the settings are made anew and the transport starts over.
struct World {
    World(uint32_t tick, bool fresh) : clock(tick), transport(sink, clock, log, settings), fresh(fresh) {}
    // A stand-in for the zone layer: the login marks the host, and its
    // messages answer, send on and sometimes end the session.
    void actOnEvents();
    void act(const TransportEvent& event);
    void close(Host& host);
    void sessionEnd(Host& ending);

    FakeClock clock;
    FingerprintLog log;
    CheckingSink sink;
    Settings settings;
    CoreTransport transport;
    const bool fresh;  // built for this one input: nothing to reset
};

void World::actOnEvents() {
    TransportEvent event;
    while (transport.nextEvent(event)) act(event);
}

void World::act(const TransportEvent& event) {
    // The flood decay is about no host.
    if (event.kind == TransportEvent::Kind::FloodDecay) return;
    Host& host = *event.host;
    switch (event.kind) {
        case TransportEvent::Kind::Message: {
            InboundMessage& m = *event.message;
            if (host.state == HostState::Connected && m.bytes[0] == 2) {
                if (m.length > 1 && m.bytes[1] == 0xEE) return close(host);
                host.logNumber = m.length;
                transport.markLoggedIn(host);
            } else if (host.loggedIn() && m.bytes[0] == 9) {
                transport.sendMessage(host, m.bytes.data(), m.length, true);
                if (m.length > 2 && m.bytes[1] == 0xDD) close(host);
            } else {
                transport.reportUnhandled(m);
            }
            return;
        }
        case TransportEvent::Kind::HostPass:
            if (host.nextInboundSeq == 7) close(host);
            return;
        case TransportEvent::Kind::Closed:
            if (host.logNumber != -1) sessionEnd(host);
            return;
        case TransportEvent::Kind::Connected:
        case TransportEvent::Kind::FloodDecay:
            return;
    }
}

void World::close(Host& host) {
    if (transport.disconnectHost(host) && host.logNumber != -1) sessionEnd(host);
}

void World::sessionEnd(Host& ending) {
    for (Host* other : transport.hosts()) {
        if (other != &ending) {
            static const uint8_t notice[3] = {10, 0, 0};
            transport.sendMessage(*other, notice, 3, true);
        }
    }
}

uint32_t startTick(const uint8_t* data, size_t size) { return size > 0 && data[0] & 1 ? 0xFFFFF000u : 1000u; }

uint64_t run(World& world, const uint8_t* data, size_t size);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The one world of the process, reset for every input.
    static World world(0, false);
    const uint64_t said = run(world, data, size);
    if (checkingReset()) {
        World fresh(startTick(data, size), true);
        if (run(fresh, data, size) != said) __builtin_trap();
    }
    return 0;
}

namespace {

uint64_t run(World& world, const uint8_t* data, size_t size) {
    Input in(data, size);
    in.byte();  // the start time (startTick)
    FakeClock& clock = world.clock;
    Settings& settings = world.settings;
    CoreTransport& transport = world.transport;
    if (!world.fresh) {
        // The clock first: the flood decay period starts from it, as for a
        // transport made now.
        clock = FakeClock(startTick(data, size));
        settings = Settings{};
        transport.restart();
    }
    Fingerprint fingerprint;
    if (checkingReset()) world.log.fingerprint = world.sink.fingerprint = &fingerprint;
    uint8_t flags = in.byte();
    settings.encryptMode = flags & 1;
    settings.maxQueueForLogin = (flags >> 1) & 3;
    settings.clusterToZones = (flags >> 3) & 1;
    settings.kickOutDelay = 2000;
    settings.packetLossLimit = 3000;

    const PeerAddress peers[4] = {
        {{10, 0, 0, 1}, 1000}, {{10, 0, 0, 2}, 1000}, {{10, 0, 0, 1}, 1001}, {{192, 168, 1, 9}, 65535}};
    while (!in.empty()) {
        uint8_t control = in.byte();
        const PeerAddress& peer = peers[control & 3];
        switch ((control >> 2) & 3) {
            case 0:
            case 1: {  // a datagram, enciphered under the host's key when bit 4 is set
                size_t length = in.byte();
                if (control & 0x40) length += static_cast<size_t>(in.byte()) << 1;
                std::vector<uint8_t> datagram = in.bytes(length);
                if (datagram.empty()) break;
                if (control & 0x10) {
                    if (Host* host = transport.findHost(peer)) {
                        encryptDatagram(host->cipher, datagram.data(), static_cast<int>(datagram.size()));
                    }
                }
                transport.receive(datagram, peer, clock.tick());
                world.actOnEvents();
                break;
            }
            case 2:  // time passes, a maintenance pass
                clock.advance(static_cast<uint32_t>(in.byte()) * 37u);
                transport.maintain(clock.tick());
                world.actOnEvents();
                break;
            case 3:  // the server sends to a host, or drops it
                if (Host* host = transport.findHost(peer)) {
                    if (control & 0x10) {
                        world.close(*host);
                    } else {
                        std::vector<uint8_t> message = in.bytes(in.byte() * 3u);
                        if (!message.empty())
                            transport.sendMessage(*host, message, (control & 0x20) == 0,
                                                  control & 0x80 ? CoreTransport::Overload::Shed
                                                                 : CoreTransport::Overload::Keep);
                    }
                } else if (control & 0x80) {
                    transport.stop();
                }
                break;
        }
    }
    transport.stop();
    world.log.fingerprint = world.sink.fingerprint = nullptr;
    return fingerprint.value();
}

}  // namespace
