#pragma once
// The bare exchange: the rate the machine allows for the login exchange's
// datagrams when the server does no work at all.
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "loadgen/datagram_batch.h"
#include "loadgen/figures.h"
#include "loadgen/loadgen.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"

namespace loadgen {

// Datagram sizes of one login exchange, taken from the real messages: the
// zone's reliable datagram with a leaving and a login, the server's login
// reply in a reliable datagram, and an acknowledgement.
struct ExchangeSizes {
    size_t request, reply, ack;
};

ExchangeSizes exchangeSizes(bool separateLeaving);

// A server thread that answers each request with an acknowledgement and a
// reply and ignores acknowledgements; clients that acknowledge each reply
// and send the next request. The plain server waits for each datagram
// before reading it and sends each datagram with a call of its own, and so
// do its clients. The batched one works like the real server's receive
// loop: it reads what is queued, several datagrams in one call (recvmmsg),
// waits only when nothing is, and sends all the answers to what it read in
// one call (sendmmsg); its clients read and send like the zones of the
// login measurement do, several datagrams per call.
class BareExchange {
public:
    BareExchange(const Options& options, bool batched);
    ~BareExchange();
    BareExchange(const BareExchange&) = delete;
    BareExchange& operator=(const BareExchange&) = delete;

    void measureSlice(int warmUpMs, int measureMs, Tally& tally);

private:
    struct Slot {
        bool awaiting = false;
        uint32_t token = 0;
        SteadyClock::time_point sent;
    };
    struct Client {
        zoneclient::UdpClient socket;
        std::vector<Slot> slots;
        uint32_t nextToken = 0;
        bool gathering = false;
        std::unique_ptr<DatagramBatch> outgoing = std::make_unique<DatagramBatch>();
    };

    double serverCpuSeconds();

    void serve();

    void serveBatched();

    // The token names the slot: token % window.
    void sendRequest(Client& c, size_t slot);

    bool busy() const;

    void pump();

    // A reply is acknowledged and the slot's next request sent.
    void answer(Client& c, std::span<const uint8_t> datagram);

    void transmit(Client& c, std::span<const uint8_t> datagram);

    const ExchangeSizes sizes_;
    const bool batched_;
    DatagramBatch incoming_;
    int serverFd_ = -1;
    std::atomic<bool> running_{true};
    std::thread server_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<pollfd> fds_;
    zoneclient::Bytes request_;
    zoneclient::Bytes ack_;
    bool issuing_ = false;
    std::vector<int64_t>* latencies_ = nullptr;
};
}  // namespace loadgen
