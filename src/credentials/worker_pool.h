#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "core/completion_queue.h"
#include "core/mutex.h"
#include "credentials/executor.h"
#include "credentials/fair_queue.h"

namespace tallysv {

// A few threads taking jobs from a fair queue: one origin's job after
// another's in turn, each origin with a bounded share of waiting jobs. A
// worker runs a job's work, which touches nothing of the network's, and
// posts its done to the network's loop, which runs it on its own thread;
// a worker never takes the network's lock. Each worker holds at most one job's working memory at
// a time (a password hash's memory, or a whois lookup's bounded reply), so
// the pool's memory is bounded by workers × that, whatever the load: a
// flood fills its origin's share and is refused there, it does not grow
// the pool, and it does not stand in front of other origins' work.
class WorkerPool final : public Executor {
public:
    // Jobs that one origin may have waiting, per worker: a login that waits
    // longer than a few hashes' time is better answered "busy" at once.
    static constexpr size_t kSharePerWorker = 32;
    // The workers' niceness: below the network threads, which keep 0.
    static constexpr int kWorkerNice = 10;

    // `workers` 0 means one per core less one for the network, at least
    // one. `share` 0 means kSharePerWorker × workers. Each job's done goes
    // to `completions`, for the network's loop to run.
    WorkerPool(CompletionQueue& completions, unsigned workers = 0, size_t share = 0);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    bool submit(WorkOrigin origin, Work work, Done done) override;

    // Ends the workers: jobs still queued are dropped without running, a
    // job being worked on completes (its done posted). Returns with every
    // worker gone. Later submits are refused.
    void stop();

    // The workers of `workers` 0 on this machine.
    static unsigned defaultWorkers();
    unsigned workers() const { return static_cast<unsigned>(threads_.size()); }
    // Jobs one origin may have waiting.
    size_t share() const { return share_; }
    // Jobs waiting for a worker now.
    size_t queued() const;
    // Jobs refused because their origin's share was full, since start.
    uint64_t refused() const;

private:
    struct Job {
        Work work;
        Done done;
    };
    struct Resolved {};  // `workers` is a count, not 0
    WorkerPool(CompletionQueue& completions, unsigned workers, size_t share, Resolved);
    void run();

    CompletionQueue& completions_;
    size_t share_;
    mutable std::mutex mutex_;  // the queue and the flags
    std::condition_variable wake_;
    FairQueue<Job> queue_;
    bool stopping_ = false;
    uint64_t refused_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace tallysv
