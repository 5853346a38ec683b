#include "credentials/worker_pool.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace tallysv {

WorkerPool::WorkerPool(Mutex& networkLock, unsigned workers, size_t queueBound)
    : networkLock_(networkLock) {
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    queueBound_ = queueBound != 0 ? queueBound : kQueuePerWorker * workers;
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() { stop(); }

bool WorkerPool::submit(Work work, Done done) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_ || queue_.size() >= queueBound_) {
            ++refused_;
            return false;
        }
        queue_.push_back(Job{std::move(work), std::move(done)});
    }
    wake_.notify_one();
    return true;
}

void WorkerPool::stop() {
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
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
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job.work();
        job.work = nullptr;  // its memory goes before the wait for the lock
        {
            MutexLock guard(networkLock_);
            job.done();
            // What done captured goes with the lock held: it may hold
            // copies of records' data that are freed as the network frees.
            job.done = nullptr;
        }
    }
}

}  // namespace tallysv
