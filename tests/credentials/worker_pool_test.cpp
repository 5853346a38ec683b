#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <future>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "credentials/worker_pool.h"

namespace tallysv::testing {
namespace {

constexpr WorkOrigin kOrigin = 7;

// Holds every worker inside a work until the test opens it.
struct Gate {
    std::promise<void> opened;
    std::shared_future<void> open = opened.get_future().share();
};

// Runs what the workers posted, as the network's loop does on its thread.
int runPostedCompletions(CompletionQueue& completions) {
    int ran = 0;
    for (auto& completion : completions.take()) {
        completion();
        ++ran;
    }
    return ran;
}

TEST(WorkerPool, AFullQueueRefusesAndQueuesNothing) {
    CompletionQueue completions;
    WorkerPool pool(completions, 2, 3);
    Gate gate;
    std::latch busy(2);
    std::atomic<int> worked{0}, finished{0};
    auto blocking = [&] {
        busy.count_down();
        gate.open.wait();
        ++worked;
    };
    ASSERT_TRUE(pool.submit(kOrigin, blocking, [&] { ++finished; }));
    ASSERT_TRUE(pool.submit(kOrigin, blocking, [&] { ++finished; }));
    busy.wait();  // both workers are taken
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(pool.submit(kOrigin, [&] { ++worked; }, [&] { ++finished; }));
    bool ran = false;
    EXPECT_FALSE(pool.submit(kOrigin, [&] { ran = true; }, [&] { ran = true; }));
    EXPECT_EQ(pool.queued(), 3u);
    EXPECT_EQ(pool.refused(), 1u);
    gate.opened.set_value();
    pool.stop();
    runPostedCompletions(completions);
    // Queued jobs may have been dropped by the stop; the refused one never ran.
    EXPECT_FALSE(ran);
    EXPECT_EQ(worked.load(), finished.load());
    EXPECT_GE(finished.load(), 2);
}

TEST(WorkerPool, DoneComesBackToTheLoopAndRunsOnlyWhereTheLoopRunsIt) {
    CompletionQueue completions;
    WorkerPool pool(completions, 1);
    std::promise<std::thread::id> workThread;
    std::thread::id doneThread;
    std::atomic<bool> worked{false};
    ASSERT_TRUE(pool.submit(kOrigin, [&] {
        workThread.set_value(std::this_thread::get_id());
        worked = true;
    }, [&] { doneThread = std::this_thread::get_id(); }));
    const std::thread::id worker = workThread.get_future().get();
    EXPECT_NE(worker, std::this_thread::get_id());
    // The loop is woken through the queue's descriptor once done is posted.
    pollfd ready{completions.descriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    EXPECT_TRUE(worked.load());
    EXPECT_EQ(doneThread, std::thread::id()) << "nothing runs done but the loop";
    EXPECT_EQ(runPostedCompletions(completions), 1);
    EXPECT_EQ(doneThread, std::this_thread::get_id());
    EXPECT_EQ(::poll(&ready, 1, 0), 0) << "taken: the descriptor is quiet again";
}

TEST(WorkerPool, StopDropsWhatWaitsAndRefusesWhatComes) {
    CompletionQueue completions;
    WorkerPool pool(completions, 1, 8);
    Gate gate;
    std::latch busy(1);
    std::atomic<int> finished{0};
    ASSERT_TRUE(pool.submit(kOrigin, 
        [&] {
            busy.count_down();
            gate.open.wait();
        },
        [&] { ++finished; }));
    busy.wait();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.submit(kOrigin, [] {}, [&] { ++finished; }));
    std::thread opener([&] {
        // The stop has taken the queue once it waits for the worker.
        while (pool.queued() != 0) std::this_thread::yield();
        gate.opened.set_value();
    });
    pool.stop();
    opener.join();
    EXPECT_EQ(runPostedCompletions(completions), 1);
    EXPECT_EQ(finished.load(), 1) << "the job under way completes, the queued ones are dropped";
    EXPECT_FALSE(pool.submit(kOrigin, [] {}, [] {}));
    EXPECT_EQ(pool.workers(), 0u);
}

// A zone that floods has its share of waiting jobs and no more, and its
// jobs take their turn with another zone's: the other's job runs next, not
// after the whole flood.
TEST(WorkerPool, AFloodingOriginWaitsItsTurnAndOnlyItsShareIsRefused) {
    CompletionQueue completions;
    WorkerPool pool(completions, 1, 4);
    Gate gate;
    std::latch busy(1);
    std::mutex orderMutex;
    std::vector<WorkOrigin> order;
    auto note = [&](WorkOrigin origin) {
        return [&, origin] {
            std::lock_guard<std::mutex> guard(orderMutex);
            order.push_back(origin);
        };
    };
    constexpr WorkOrigin flood = 1, honest = 2;
    ASSERT_TRUE(pool.submit(flood, [&] { busy.count_down(), gate.open.wait(); }, [] {}));
    busy.wait();
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(pool.submit(flood, note(flood), [] {}));
    EXPECT_FALSE(pool.submit(flood, note(flood), [] {})) << "past the flood's share";
    EXPECT_TRUE(pool.submit(honest, note(honest), [] {})) << "another origin has a share of its own";
    EXPECT_TRUE(pool.submit(honest, note(honest), [] {}));
    EXPECT_EQ(pool.refused(), 1u);
    gate.opened.set_value();
    while (pool.queued() != 0) std::this_thread::yield();
    pool.stop();
    EXPECT_EQ(order, (std::vector<WorkOrigin>{flood, honest, flood, honest, flood, flood}));
}

TEST(FairQueue, TurnsGoRoundTheOriginsInTheOrderTheyCame) {
    FairQueue<int> queue(2);
    EXPECT_TRUE(queue.push(5, 50));
    EXPECT_TRUE(queue.push(5, 51));
    EXPECT_FALSE(queue.push(5, 52));
    EXPECT_TRUE(queue.push(9, 90));
    EXPECT_TRUE(queue.push(3, 30));
    EXPECT_EQ(queue.size(), 4u);
    EXPECT_EQ(queue.waiting(5), 2u);
    EXPECT_EQ(*queue.pop(), 50);
    // Popping frees a place in the origin's share.
    EXPECT_TRUE(queue.push(5, 53));
    EXPECT_EQ(queue.takeAll(), (std::deque<int>{90, 30, 51, 53}));
    EXPECT_TRUE(queue.empty());
    EXPECT_FALSE(queue.pop());
}

}  // namespace
}  // namespace tallysv::testing
