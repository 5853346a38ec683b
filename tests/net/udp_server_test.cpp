#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <utility>
#include <mutex>

#include "core/clock.h"
#include "core/completion_queue.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/core_transport.h"
#include "net/udp_server.h"
#include "zoneclient/datagrams.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace tallysv {
namespace {

using zoneclient::Bytes;

// The real shell on loopback: threads, socket and lock.
class UdpServerTest : public ::testing::Test {
protected:
    UdpServerTest() : transport(socket, clock, log, settings), server(transport, socket, lock, settings) {}

    SystemClock clock;
    RecordingLog log;
    Settings settings;
    UdpSocket socket;
    Mutex lock;
    CoreTransport transport;
    UdpServer server;

    // Waits, within a time limit, for a datagram the link turns into the
    // wanted state.
    template <typename Done>
    bool pumpUntil(zoneclient::UdpClient& client, zoneclient::ZoneLink& link, Done done, int limitMs = 3000) {
        uint32_t start = zoneclient::monotonicTick();
        while (!done()) {
            if (zoneclient::monotonicTick() - start > static_cast<uint32_t>(limitMs)) return false;
            if (auto d = client.receive(50)) link.receive(*d, zoneclient::monotonicTick());
            link.maintain(zoneclient::monotonicTick());
        }
        return true;
    }
};

TEST_F(UdpServerTest, HandshakeReliableExchangeAndGoodbyeAtStop) {
    std::string reason;
    ASSERT_TRUE(server.start(0).isOk());
    zoneclient::UdpClient client;
    ASSERT_TRUE(client.open("127.0.0.1", socket.boundPort(), reason)) << reason;
    uint64_t sentByZone = 0;
    zoneclient::ZoneLink link(
        [&](std::span<const uint8_t> d) {
            ++sentByZone;
            client.send(d);
        },
        777);
    link.connect();
    ASSERT_TRUE(pumpUntil(client, link, [&] { return link.connected(); }));
    EXPECT_EQ(link.sessionKey(), -777);

    // A reliable message the transport does not know: acknowledged, and
    // reported as unhandled.
    Bytes message = {0x21, 1, 2, 3};
    link.sendReliable(message, zoneclient::monotonicTick());
    ASSERT_TRUE(pumpUntil(client, link, [&] { return link.acknowledged() == 1; }));
    {
        MutexLock guard(lock);
        EXPECT_TRUE(log.contains("-1 - Unhandled packet(33)(4)\n"));
        ASSERT_EQ(transport.hosts().size(), 1u);
        // And one the other way: the server sends reliably, the zone acknowledges.
        Bytes toZone = {0x09, 5, 0, 0, 0, 'h', 'i', 0};
        transport.sendMessage(*transport.hosts()[0], toZone);
    }
    ASSERT_TRUE(pumpUntil(client, link, [&] { return !link.inbox.empty(); }));
    EXPECT_EQ(link.inbox.front(), (Bytes{0x09, 5, 0, 0, 0, 'h', 'i', 0}));
    // The zone's acknowledgement reaches the server; from then on the
    // server has nothing to send again.
    uint32_t start = zoneclient::monotonicTick();
    for (;;) {
        {
            MutexLock guard(lock);
            if (transport.counters().datagramsIn == sentByZone) break;
        }
        ASSERT_LT(zoneclient::monotonicTick() - start, 3000u);
        client.receive(10);
    }
    {
        MutexLock guard(lock);
        const uint64_t resends = transport.counters().resends;
        const uint64_t sent = transport.counters().datagramsOut;
        transport.maintain(clock.tick());
        TransportEvent event;
        while (transport.nextEvent(event)) {
        }
        EXPECT_EQ(transport.counters().resends, resends);
        EXPECT_EQ(transport.counters().datagramsOut, sent);
    }

    server.stop();
    EXPECT_FALSE(server.running());
    ASSERT_TRUE(pumpUntil(client, link, [&] { return link.disconnectedByServer(); }));
    EXPECT_TRUE(transport.hosts().empty());
}

// What other threads hand the loop runs on the loop's one thread: a task
// handed over with runOnLoop, returning once it has run, and a completion
// posted by a worker, run with the network's lock held.
TEST(UdpServerLoop, TasksAndCompletionsRunOnTheLoopsThread) {
    SystemClock clock;
    RecordingLog log;
    Settings settings;
    UdpSocket socket;
    Mutex lock;
    CompletionQueue completions;
    CoreTransport transport(socket, clock, log, settings);
    UdpServer server(transport, socket, lock, settings, nullptr, &completions);
    ASSERT_TRUE(server.start(0).isOk());

    std::thread::id taskThread;
    server.runOnLoop([&] { taskThread = std::this_thread::get_id(); });
    EXPECT_NE(taskThread, std::thread::id());
    EXPECT_NE(taskThread, std::this_thread::get_id());

    std::promise<std::pair<std::thread::id, bool>> ran;
    completions.post([&] {
        // Asked from another thread: the mutex may not be tried by its owner.
        const bool held = !std::async(std::launch::async, [&] {
                               if (!lock.try_lock()) return false;
                               lock.unlock();
                               return true;
                           }).get();
        ran.set_value({std::this_thread::get_id(), held});
    });
    auto future = ran.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto [completionThread, lockHeld] = future.get();
    EXPECT_EQ(completionThread, taskThread);
    EXPECT_TRUE(lockHeld);
    server.stop();

    // Stopped, the caller runs the task itself.
    std::thread::id afterStop;
    server.runOnLoop([&] { afterStop = std::this_thread::get_id(); });
    EXPECT_EQ(afterStop, std::this_thread::get_id());
}

TEST_F(UdpServerTest, PortInUseIsReportedWithTheSystemsReason) {
    UdpSocket occupier;
    ASSERT_TRUE(occupier.open(0).isOk());
    const Status started = server.start(occupier.boundPort());
    EXPECT_FALSE(started.isOk());
    EXPECT_EQ(started.error(), EADDRINUSE);
    EXPECT_NE(started.reason().find("in use"), std::string::npos) << started.reason();
    EXPECT_FALSE(server.running());
}

TEST_F(UdpServerTest, StopReturnsPromptlyWhileTheReceiveThreadIsBlocked) {
    settings.lowPriority = true;
    ASSERT_TRUE(server.start(0).isOk());
    auto before = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000));
    // A second start after a stop works as the first.
    const Status again = server.start(0);
    ASSERT_TRUE(again.isOk()) << again.reason();
    server.stop();
}

// Inside a batch the socket holds what is sent until the batch ends or is
// flushed (a wait is coming); then it leaves in the order it was sent.
// Loopback delivers within the send, so what has not arrived yet is still
// held.
TEST(UdpSocket, BatchHoldsSendsUntilItsEndOrAFlush) {
    UdpSocket socket;
    std::string reason;
    ASSERT_TRUE(socket.open(0).isOk());
    zoneclient::UdpClient client;
    ASSERT_TRUE(client.open("127.0.0.1", socket.boundPort(), reason)) << reason;
    const PeerAddress to{{127, 0, 0, 1}, client.localPort()};
    const Bytes first = {1, 2, 3}, second = {4, 5}, third = {6}, alone = {7, 7};

    socket.beginBatch();
    socket.send(to, first);
    socket.send(to, second);
    EXPECT_EQ(client.receive(0), std::nullopt);
    socket.flush();
    EXPECT_EQ(client.receive(0), first);
    EXPECT_EQ(client.receive(0), second);
    socket.send(to, third);
    EXPECT_EQ(client.receive(0), std::nullopt);
    socket.endBatch();
    EXPECT_EQ(client.receive(0), third);
    socket.send(to, alone);
    EXPECT_EQ(client.receive(0), alone) << "outside a batch a datagram leaves at once";
}

}  // namespace
}  // namespace tallysv
