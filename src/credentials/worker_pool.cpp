#include "credentials/worker_pool.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace tallysv {

unsigned WorkerPool::defaultWorkers() {
    // The network's thread keeps a core of its own where there are two or
    // more: hashes at full load then never share its core.
    const unsigned cores = std::thread::hardware_concurrency();
    return cores >= 2 ? cores - 1 : 1;
}

WorkerPool::WorkerPool(CompletionQueue& completions, unsigned workers, size_t share)
    : WorkerPool(completions, workers != 0 ? workers : defaultWorkers(), share, Resolved{}) {}

WorkerPool::WorkerPool(CompletionQueue& completions, unsigned workers, size_t share, Resolved)
    : completions_(completions), share_(share != 0 ? share : kSharePerWorker * workers), queue_(share_) {
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() { stop(); }

bool WorkerPool::submit(WorkOrigin origin, Work work, Done done) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_ || !queue_.push(origin, Job{std::move(work), std::move(done)})) {
            ++refused_;
            return false;
        }
    }
    wake_.notify_one();
    return true;
}

void WorkerPool::stop() {
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        dropped = queue_.takeAll();
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
    // The dropped jobs' functions are destroyed here, after the workers,
    // without the queue's lock: what they hold may be large.
}

size_t WorkerPool::queued() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return queue_.size();
}

uint64_t WorkerPool::refused() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return refused_;
}

void WorkerPool::run() {
    // A worker yields the processor to the network threads: with one worker
    // per core, hashes at full load would otherwise share every core evenly
    // with the thread that relays the zones' traffic, and slow it down. On
    // Linux the priority of one thread is set through its thread id.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> guard(mutex_);
            wake_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(*queue_.pop());
        }
        job.work();
        job.work = nullptr;  // its memory goes before the next job's
        // What done captured goes on the loop's thread once it has run: it
        // may hold copies of records' data that are freed as the network
        // frees.
        completions_.post(std::move(job.done));
    }
}

}  // namespace tallysv
