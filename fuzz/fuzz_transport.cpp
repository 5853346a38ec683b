// Feeds arbitrary sequences of datagrams from a few source addresses into
// the transport, with the clock moving and maintenance passes between them,
// and with upper-layer handlers that send, log in and disconnect.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/core_transport.h"

namespace {

using namespace tallysv;

class CountingSink final : public DatagramSink {
public:
    void send(const PeerAddress&, std::span<const uint8_t> bytes) override {
        if (bytes.empty() || bytes.size() > 520) __builtin_trap();
        ++count;
    }
    size_t count = 0;
};

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    FakeClock clock(in.byte() & 1 ? 0xFFFFF000u : 1000u);
    DiscardLog log;
    CountingSink sink;
    Settings settings;
    uint8_t flags = in.byte();
    settings.encryptMode = flags & 1;
    settings.maxQueueForLogin = (flags >> 1) & 3;
    settings.clusterToZones = (flags >> 3) & 1;
    settings.kickOutDelay = 2000;
    settings.packetLossLimit = 3000;
    CoreTransport transport(sink, clock, log, settings);

    // A stand-in for the zone layer: the login marks the host, and its
    // messages answer, send on and sometimes end the session.
    transport.setZoneLoginHandler([&](InboundMessage& m) {
        Host& host = *m.host;
        if (m.length > 1 && m.bytes[1] == 0xEE) {
            transport.disconnectHost(host);
            return true;
        }
        host.scoreId = m.length;
        host.zoneLoggedIn = true;
        transport.setMessageHandler(host, 2, transport.unhandledHandler());
        transport.setCoreHandler(host, 1, transport.ignoreHandler());
        transport.setMessageHandler(host, 9, [&](InboundMessage& msg) {
            transport.sendMessage(*msg.host, msg.bytes.data(), msg.length, true);
            if (msg.length > 2 && msg.bytes[1] == 0xDD) transport.disconnectHost(*msg.host);
            return true;
        });
        return true;
    });
    transport.setKickCheck([&](Host& host) {
        if (host.nextInboundSeq == 7) transport.disconnectHost(host);
    });
    transport.setZoneSessionEnd([&](Host& ending) {
        for (const auto& other : transport.hosts()) {
            if (other.get() != &ending) {
                static const uint8_t notice[3] = {10, 0, 0};
                transport.sendMessage(*other, notice, 3, true);
            }
        }
    });

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
                transport.receive(datagram, peer);
                break;
            }
            case 2:  // time passes, a maintenance pass
                clock.advance(static_cast<uint32_t>(in.byte()) * 37u);
                transport.maintain();
                break;
            case 3:  // the server sends to a host, or drops it
                if (Host* host = transport.findHost(peer)) {
                    if (control & 0x10) {
                        transport.disconnectHost(*host);
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
    return 0;
}
