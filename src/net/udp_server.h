#pragma once
#include <atomic>
#include <latch>
#include <cstdint>
#include <optional>
#include <span>
#include <thread>

#include "core/mutex.h"
#include "core/settings.h"
#include "core/status.h"
#include "net/core_transport.h"
#include "net/datagram_batch_writer.h"
#include "net/datagram_sink.h"

namespace tallysv {

// The server's one UDP socket, bound on all local IPv4 addresses. Between
// beginBatch and endBatch what is sent is gathered and leaves together at
// the end (several datagrams per system call); outside, each datagram
// leaves at once. Sends and batches are made with the server's lock held.
class UdpSocket final : public DatagramSink, private BatchSendCalls {
public:
    UdpSocket() = default;
    ~UdpSocket() override;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates and binds the socket; a failure carries the system's reason.
    Status open(uint16_t port);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    // The port actually bound (useful with port 0).
    uint16_t boundPort() const;

    void send(const PeerAddress& to, std::span<const uint8_t> bytes) override;
    void flush() override { writer_.flush(); }
    // Batches nest; the outermost end sends what was gathered.
    void beginBatch() { ++batchDepth_; }
    void endBatch();

private:
    int sendBatch(mmsghdr* datagrams, unsigned count) override;
    void waitWritable() override;

    int fd_ = -1;
    int batchDepth_ = 0;
    DatagramBatchWriter writer_{*this};
};

// The sends of one pass of a network thread, gathered while it lasts.
class SendBatch {
public:
    explicit SendBatch(UdpSocket& socket) : socket_(socket) { socket_.beginBatch(); }
    ~SendBatch() { socket_.endBatch(); }
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

private:
    UdpSocket& socket_;
};

// The network threads around the transport: the receive thread reads the
// datagrams queued, several at a time, and hands them to the transport one
// by one holding the server's lock, the replies to all of them sent
// together at the end; the maintenance thread runs maintenance passes 50 ms
// apart (100 ms with LowPriority), also holding the lock, its sends
// together at the end of the pass. It skips the passes that would find
// nothing due (CoreTransport::nextDeadline) and is woken when something
// falls due sooner. Stopping is cooperative: a flag and a wake-up of both
// threads.
class UdpServer {
public:
    UdpServer(CoreTransport& transport, UdpSocket& socket, Mutex& lock, const Settings& settings);
    ~UdpServer();
    UdpServer(const UdpServer&) = delete;
    UdpServer& operator=(const UdpServer&) = delete;

    // Binds the socket on the port (unless it is open already) and starts
    // both threads; a running server is stopped first. A failure, with the system's reason, when
    // the socket cannot be created or bound.
    Status start(uint16_t port);
    // Ends both threads, tells every host goodbye, drops all hosts and
    // closes the socket. Returns with both threads gone.
    void stop();
    bool running() const { return running_.load(); }

    // How long (ms) the maintenance thread waits at `now` after the pass at
    // `lastPass`: until the first pass at or after the deadline, passes
    // `period` apart; -1 (until woken) without one.
    static int passWait(uint32_t lastPass, std::optional<uint32_t> deadline, uint32_t period, uint32_t now);

private:
    void receiveLoop(std::latch& started);
    void maintenanceLoop(std::latch& started);
    // Waits up to `ms` (forever when negative) for the socket or the
    // wake-up; true when the socket has a datagram.
    bool waitForDatagram(int ms);

    Mutex& lock_;
    CoreTransport& transport_ GUARDED_BY(lock_);
    UdpSocket& socket_;
    const Settings& settings_ GUARDED_BY(lock_);
    std::atomic<bool> running_{false};
    std::thread receiveThread_;
    std::thread maintenanceThread_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    // Wakes the maintenance thread when something falls due sooner.
    int nudgeRead_ = -1;
    int nudgeWrite_ = -1;
};

}  // namespace tallysv
