#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <mutex>
#include <thread>

#include "credentials/worker_pool.h"

namespace tallysv::testing {
namespace {

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
    ASSERT_TRUE(pool.submit(blocking, [&] { ++finished; }));
    ASSERT_TRUE(pool.submit(blocking, [&] { ++finished; }));
    busy.wait();  // both workers are taken
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(pool.submit([&] { ++worked; }, [&] { ++finished; }));
    bool ran = false;
    EXPECT_FALSE(pool.submit([&] { ran = true; }, [&] { ran = true; }));
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
    ASSERT_TRUE(pool.submit(
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
    ASSERT_TRUE(pool.submit(
        [&] {
            busy.count_down();
            gate.open.wait();
        },
        [&] { ++finished; }));
    busy.wait();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.submit([] {}, [&] { ++finished; }));
    std::thread opener([&] {
        // The stop has taken the queue once it waits for the worker.
        while (pool.queued() != 0) std::this_thread::yield();
        gate.opened.set_value();
    });
    pool.stop();
    opener.join();
    EXPECT_EQ(finished.load(), 1) << "the job under way completes, the queued ones are dropped";
    EXPECT_FALSE(pool.submit([] {}, [] {}));
    EXPECT_EQ(pool.workers(), 0u);
}

}  // namespace
}  // namespace tallysv::testing
