#pragma once
#include <atomic>
#include <latch>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <thread>

#include "core/completion_queue.h"
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
    // A batch is one datagram's or one pass's sends: batches do not nest.
    void beginBatch() { batching_ = true; }
    void endBatch();

private:
    int sendBatch(mmsghdr* datagrams, unsigned count) override;
    void waitWritable() override;

    int fd_ = -1;
    bool batching_ = false;
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

// The network's loop around the transport: one thread that owns the
// transport, the zone sessions and everything their events reach. It waits
// on the socket, on its next maintenance deadline and on the completions
// that workers post back (a CompletionQueue), and on nothing else. The
// datagrams queued are read several at a time and handed to the transport
// one by one, each one's events acted on before the next, the replies to
// all of them sent together at the end; maintenance passes run 50 ms apart
// (100 ms with LowPriority), skipping those that would find nothing due
// (CoreTransport::nextDeadline), and sooner deadlines wake the loop. The
// loop holds the server's lock while it handles anything, for the threads
// that still read or change the state beside it (see the server). Stopping
// is cooperative: a flag and a wake-up.
class UdpServer {
public:
    // Acts on the transport's events, with the lock held, as each datagram
    // or pass hands them out. Without one, messages are unhandled.
    using EventHandler = std::function<void(const TransportEvent&)>;

    UdpServer(CoreTransport& transport, UdpSocket& socket, Mutex& lock, const Settings& settings,
              EventHandler onEvent = nullptr, CompletionQueue* completions = nullptr);
    ~UdpServer();
    UdpServer(const UdpServer&) = delete;
    UdpServer& operator=(const UdpServer&) = delete;

    // Binds the socket on the port (unless it is open already) and starts
    // the loop; a running server is stopped first. A failure, with the
    // system's reason, when the socket cannot be created or bound.
    Status start(uint16_t port);
    // Ends the loop, runs the completions still posted, tells every host
    // goodbye, drops all hosts and closes the socket. Returns with the
    // loop's thread gone.
    void stop();
    bool running() const { return running_.load(); }
    // Runs `task` on the loop's thread, between two datagrams or passes,
    // and returns once it has run: the control socket's requests and the
    // status pages' reads are events of the loop like the zones'. The task
    // takes the lock itself for what it touches. Before the loop starts
    // and after it has ended, the calling thread runs it.
    void runOnLoop(const std::function<void()>& task) EXCLUDES(lock_);

    // How long (ms) the loop waits at `now` after the pass at `lastPass`:
    // until the first pass at or after the deadline, passes `period` apart;
    // -1 (until woken) without one.
    static int passWait(uint32_t lastPass, std::optional<uint32_t> deadline, uint32_t period, uint32_t now);

private:
    void loop(std::latch& started);
    // Takes the events of the datagram or pass begun, acting on each.
    void handleEvents() REQUIRES(lock_);
    // Runs what the workers posted, in order.
    void runCompletions() EXCLUDES(lock_);
    // Runs the tasks posted by runOnLoop, in order.
    void runTasks() EXCLUDES(lock_);

    Mutex& lock_;
    CoreTransport& transport_ GUARDED_BY(lock_);
    UdpSocket& socket_;
    const Settings& settings_ GUARDED_BY(lock_);
    EventHandler onEvent_ GUARDED_BY(lock_);
    CompletionQueue* completions_;
    // Tasks of other threads for the loop (runOnLoop).
    CompletionQueue tasks_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    // Wakes the loop when something falls due sooner.
    int nudgeRead_ = -1;
    int nudgeWrite_ = -1;
    std::atomic<bool> nudged_{false};
    std::atomic<std::thread::id> loopThread_;
};

}  // namespace tallysv
