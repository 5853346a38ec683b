#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "credentials/executor.h"

namespace tallysv {

// The workers of the server process: a few threads (one per core by
// default) taking jobs from one bounded queue. A worker runs a job's work
// without any lock, then takes the network lock and runs its done. Each
// worker holds at most one job's working memory at a time (a password
// hash's memory, or a whois lookup's few kilobytes), so the pool's memory
// is bounded by workers × that, whatever the load: a flood of logins fills
// the queue and is refused there, it does not grow the pool.
class WorkerPool final : public Executor {
public:
    // Jobs that may wait for a worker, per worker: a login that waits
    // longer than a few hashes' time is better answered "busy" at once.
    static constexpr size_t kQueuePerWorker = 32;
    // The workers' niceness: below the network threads, which keep 0.
    static constexpr int kWorkerNice = 10;

    // `workers` 0 means one per core. `queueBound` 0 means
    // kQueuePerWorker × workers.
    WorkerPool(Mutex& networkLock, unsigned workers = 0, size_t queueBound = 0);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    bool submit(Work work, Done done) override;

    // Ends the workers: jobs still queued are dropped without running, a
    // job being worked on completes (its done included). Returns with every
    // worker gone; never call it with the network lock held, since a
    // finishing job takes it. Later submits are refused.
    void stop();

    unsigned workers() const { return static_cast<unsigned>(threads_.size()); }
    size_t queueBound() const { return queueBound_; }
    // Jobs waiting for a worker now.
    size_t queued() const;
    // Jobs refused because the queue was full, since start.
    uint64_t refused() const;

private:
    struct Job {
        Work work;
        Done done;
    };
    void run();

    Mutex& networkLock_;
    size_t queueBound_;
    mutable std::mutex mutex_;  // the queue and the flags
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    uint64_t refused_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace tallysv
