// Costs of the transport's hot paths without any socket: the cipher, and
// one reliable datagram received, acknowledged and delivered.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/cipher.h"
#include "net/core_transport.h"
#include "zoneclient/datagrams.h"

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

using namespace tallysv;

class CountingSink final : public DatagramSink {
public:
    void send(const PeerAddress&, std::span<const uint8_t>) override { ++count; }
    size_t count = 0;
};

void BM_EncryptDatagram(benchmark::State& state) {
    SessionCipher cipher;
    installSessionKey(cipher, 0x12345);
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 0x42);
    for (auto _ : state) {
        encryptDatagram(cipher, bytes.data(), static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EncryptDatagram)->Arg(38)->Arg(520);

void BM_InstallSessionKey(benchmark::State& state) {
    SessionCipher cipher;
    int32_t key = 1;
    for (auto _ : state) {
        installSessionKey(cipher, ++key);
        benchmark::DoNotOptimize(cipher.keyTable.data());
    }
}
BENCHMARK(BM_InstallSessionKey);

// One enciphered reliable datagram in order: decipher, acknowledge (and
// encipher the acknowledgement), deliver.
void BM_ReceiveReliable(benchmark::State& state) {
    FakeClock clock;
    DiscardLog log;
    Settings settings;
    CountingSink sink;
    CoreTransport transport(sink, clock, log, settings);
    PeerAddress peer{{127, 0, 0, 1}, 4000};
    receiveAndAct(transport, zoneclient::connectionRequest(777), peer);
    Host& host = *transport.findHost(peer);
    std::vector<uint8_t> payload(32, 0x30);
    std::vector<std::vector<uint8_t>> datagrams;
    for (int32_t s = 0; s < 4096; ++s) {
        datagrams.push_back(zoneclient::encrypted(-777, zoneclient::reliableDatagram(s, payload)));
    }
    size_t i = 0;
    for (auto _ : state) {
        if (i == datagrams.size()) {
            state.PauseTiming();
            host.nextInboundSeq = 0;
            i = 0;
            state.ResumeTiming();
        }
        receiveAndAct(transport, datagrams[i++], peer);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ReceiveReliable);

// Sending reliably and taking the acknowledgement: the server's side of
// one message to a zone.
constexpr int32_t kAcknowledgements = 1 << 20;

void BM_SendAndAcknowledge(benchmark::State& state) {
    FakeClock clock;
    DiscardLog log;
    Settings settings;
    CountingSink sink;
    CoreTransport transport(sink, clock, log, settings);
    PeerAddress peer{{127, 0, 0, 1}, 4000};
    receiveAndAct(transport, zoneclient::connectionRequest(777), peer);
    Host& host = *transport.findHost(peer);
    // The zone's acknowledgements, enciphered beforehand.
    std::vector<uint8_t> acks(static_cast<size_t>(kAcknowledgements) * 6);
    for (int32_t s = 0; s < kAcknowledgements; ++s) {
        auto ack = zoneclient::encrypted(-777, zoneclient::acknowledgement(s));
        std::copy(ack.begin(), ack.end(), acks.begin() + static_cast<ptrdiff_t>(s) * 6);
    }
    std::vector<uint8_t> message(64, 0x09);
    size_t sequence = 0;
    for (auto _ : state) {
        transport.sendMessage(host, message);
        receiveAndAct(transport, std::span<const uint8_t>(acks.data() + sequence * 6, 6), peer);
        ++sequence;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SendAndAcknowledge)->Iterations(kAcknowledgements);

}  // namespace
