#include <gtest/gtest.h>

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

TEST(WorkerPool, AFullQueueRefusesAndQueuesNothing) {
    Mutex lock;
    WorkerPool pool(lock, 2, 3);
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
    // Queued jobs may have been dropped by the stop; the refused one never ran.
    EXPECT_FALSE(ran);
    EXPECT_EQ(worked.load(), finished.load());
    EXPECT_GE(finished.load(), 2);
}

TEST(WorkerPool, DoneRunsWithTheNetworkLockHeldAndWorkWithout) {
    Mutex lock;
    WorkerPool pool(lock, 1);
    std::promise<bool> lockFreeDuringWork, lockHeldDuringDone;
    ASSERT_TRUE(pool.submit(kOrigin, 
        [&] {
            // The network thread (here: another thread) can take the lock.
            bool free = std::async(std::launch::async, [&] {
                            if (!lock.try_lock()) return false;
                            lock.unlock();
                            return true;
                        }).get();
            lockFreeDuringWork.set_value(free);
        },
        [&] {
            bool held = !std::async(std::launch::async, [&] {
                             if (!lock.try_lock()) return false;
                             lock.unlock();
                             return true;
                         }).get();
            lockHeldDuringDone.set_value(held);
        }));
    EXPECT_TRUE(lockFreeDuringWork.get_future().get());
    EXPECT_TRUE(lockHeldDuringDone.get_future().get());
}

TEST(WorkerPool, StopDropsWhatWaitsAndRefusesWhatComes) {
    Mutex lock;
    WorkerPool pool(lock, 1, 8);
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
    EXPECT_EQ(finished.load(), 1) << "the job under way completes, the queued ones are dropped";
    EXPECT_FALSE(pool.submit(kOrigin, [] {}, [] {}));
    EXPECT_EQ(pool.workers(), 0u);
}

// A zone that floods has its share of waiting jobs and no more, and its
// jobs take their turn with another zone's: the other's job runs next, not
// after the whole flood.
TEST(WorkerPool, AFloodingOriginWaitsItsTurnAndOnlyItsShareIsRefused) {
    Mutex lock;
    WorkerPool pool(lock, 1, 4);
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
